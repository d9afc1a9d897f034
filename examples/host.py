#!/usr/bin/env python3
"""A host of kestrune, written from docs/protocol.md with the standard library only.

It does what a desktop application does with kestrune: starts the binary, waits for "ready",
scans for receivers, turns the chosen scanned device into a startSession device, plays a WAV file
to it and then what the default output device plays (a live session), changes the volume of
each, follows the events, stops the live session and shuts kestrune down. Every line is printed
as it goes, "> " for what the host writes and "< " for what kestrune writes; the host's own
remarks begin "host: ".

    host.py --kestrune build/release/src/kestrune --file tone.wav --live 3

Without --receiver the first receiver the scan finds is used. With --receiver ADDRESS:PORT the
scanned receiver at that address and port is used, and when the scan does not find it (the test
receiver is not announced by mDNS), a device is made up for that address and port.

Exits with 0 when every step went as expected, 1 otherwise.
"""

import argparse
import json
import queue
import subprocess
import sys
import threading
import time

PROTOCOL_VERSION = 1
RESPONSE_TIMEOUT = 30.0  # seconds; stopSession and shutdown wait for a teardown of up to 10 s
START_TIMEOUT = 60.0  # from startSession to "playing": pairing and setup on a slow machine
EVENT_TIMEOUT = 30.0  # for any one event while a session plays


class HostError(Exception):
    """A step that did not go as the host expected."""


class CommandFailed(HostError):
    """A command answered with "ok": false; `error` is the error object."""

    def __init__(self, command, error):
        super().__init__(f"{command} failed: {error.get('code')} at {error.get('stage')}: "
                         f"{error.get('safeMessage')}")
        self.error = error


class Kestrune:
    """One kestrune process. Commands are sent one at a time and each waits for its response,
    as kestrune answers them one at a time in order; the events that arrive meanwhile are kept
    and handed out by next_event, in the order they came."""

    def __init__(self, binary, stderr=None, echo=print):
        self._echo = echo
        # kestrune never waits for its standard error: a host may pass it on, log it or drop it.
        self._process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=stderr, bufsize=0)
        self._lines = queue.Queue()
        self._events = []
        self._next_id = 0
        threading.Thread(target=self._read_lines, daemon=True).start()

    def _read_lines(self):
        for raw in self._process.stdout:
            self._lines.put(json.loads(raw))
        self._lines.put(None)  # end of output

    def _read(self, timeout):
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise HostError(f"no line from kestrune within {timeout:.0f} s") from None
        if line is None:
            raise HostError("kestrune's output ended")
        self._echo("< " + json.dumps(line, separators=(",", ":")))
        return line

    def wait_ready(self):
        ready = self._read(RESPONSE_TIMEOUT)
        if ready.get("event") != "ready":
            raise HostError(f"the first line is not ready: {ready}")
        if ready["payload"]["protocolVersion"] != PROTOCOL_VERSION:
            raise HostError("kestrune speaks another protocol version")
        return ready["payload"]

    def command(self, name, payload=None, timeout=RESPONSE_TIMEOUT):
        """Sends one command and returns its result; raises CommandFailed for an error."""
        self._next_id += 1
        request_id = f"{name}-{self._next_id}"
        line = json.dumps({"version": PROTOCOL_VERSION, "type": "command",
                           "requestId": request_id, "command": name,
                           "payload": payload if payload is not None else {}},
                          separators=(",", ":"))
        self._echo("> " + line)
        self._process.stdin.write(line.encode() + b"\n")
        self._process.stdin.flush()
        deadline = time.monotonic() + timeout
        while True:
            received = self._read(max(0.0, deadline - time.monotonic()))
            if received["type"] == "event":
                self._events.append(received)
            elif received.get("requestId") == request_id:
                if not received["ok"]:
                    raise CommandFailed(name, received["error"])
                return received["result"]
            else:
                raise HostError(f"a response to another request: {received}")

    def next_event(self, timeout=EVENT_TIMEOUT):
        if self._events:
            return self._events.pop(0)
        line = self._read(timeout)
        if line["type"] != "event":
            raise HostError(f"a response without a command: {line}")
        return line

    def wait_event(self, matches, timeout=EVENT_TIMEOUT):
        """The first event for which matches(event) holds; the events before it are dropped."""
        deadline = time.monotonic() + timeout
        while True:
            event = self.next_event(max(0.0, deadline - time.monotonic()))
            if matches(event):
                return event

    def shutdown(self):
        """shutdown, then "shutdownComplete" as the last line and the process's exit."""
        self.command("shutdown")
        complete = self.wait_event(lambda e: e["event"] == "shutdownComplete")
        try:
            status = self._process.wait(timeout=RESPONSE_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise HostError("kestrune did not exit after shutdownComplete") from None
        return complete["payload"], status

    def kill(self):
        if self._process.poll() is None:
            self._process.kill()
            self._process.wait()


def start_device(scanned):
    """The startSession `device` for a device of a scan result or a deviceDiscovered event: the
    stable id is `stableId` there, and `roomName` is not one of its fields (an unknown field
    makes the whole payload invalid). `featuresHex` may stay null."""
    return {"stableId": scanned["id"], "displayName": scanned["displayName"],
            "model": scanned["model"], "addresses": scanned["addresses"],
            "port": scanned["port"], "featuresHex": scanned["featuresHex"]}


def is_state(event, state):
    return event["event"] == "sessionState" and event["payload"]["state"] == state


def is_terminal(event):
    return event["event"] == "terminal"


def choose_device(devices, receiver):
    """The startSession device to play to: the scanned one that matches --receiver, else one
    made up for --receiver, else the first one scanned."""
    if receiver is None:
        if not devices:
            raise HostError("the scan found no receiver; give one with --receiver")
        print(f"host: playing to the scanned receiver {devices[0]['displayName']!r}"
              f" ({devices[0]['id']})")
        return start_device(devices[0])
    address, _, port = receiver.rpartition(":")
    for device in devices:
        if address in device["addresses"] and device["port"] == int(port):
            print(f"host: playing to the scanned receiver {device['displayName']!r}"
                  f" ({device['id']}) at {receiver}")
            return start_device(device)
    print(f"host: the scan did not find {receiver}; playing to it as given")
    return {"stableId": f"manual-{receiver}", "displayName": f"Receiver at {receiver}",
            "addresses": [address], "port": int(port)}


def wait_for_end(kestrune, session_id):
    """Follows a session's events up to its terminal event and returns that event's payload."""
    while True:
        event = kestrune.next_event(EVENT_TIMEOUT)
        payload = event["payload"]
        if payload.get("sessionId") not in (None, session_id):
            continue
        if event["event"] == "warning":
            print(f"host: warning {payload['code']} at {payload['stage']}"
                  f" ({payload['occurrences']} times)")
        elif event["event"] == "error":
            print(f"host: the session failed: {payload['error']['code']}")
        elif is_terminal(event):
            return payload


def play_file(kestrune, device, path, volume):
    kestrune.command("startSession", {"device": device,
                                      "audioSource": {"kind": "file", "path": path},
                                      "initialVolume": 1.0})
    playing = kestrune.wait_event(lambda e: is_state(e, "playing") or is_terminal(e),
                                  START_TIMEOUT)
    if is_terminal(playing):
        raise HostError(f"the file session ended before playing: {playing['payload']}")
    session_id = playing["payload"]["sessionId"]
    kestrune.command("setVolume", {"volume": volume})
    # The file plays to its end by itself; a WAV file that cannot be read fails only now.
    terminal = wait_for_end(kestrune, session_id)
    if terminal["outcome"] != "completed" or terminal["reason"] != "end_of_stream":
        raise HostError(f"the file session did not play to its end: {terminal}")
    print(f"host: the file played to its end: {terminal['metrics']['packetsSent']} packets sent")


def play_live(kestrune, device, seconds, volume):
    kestrune.command("startSession", {"device": device,
                                      "audioSource": {"kind": "windowsDefaultOutput"},
                                      "initialVolume": 1.0})
    playing = kestrune.wait_event(lambda e: is_state(e, "playing") or is_terminal(e),
                                  START_TIMEOUT)
    if is_terminal(playing):
        raise HostError(f"the live session ended before playing: {playing['payload']}")
    kestrune.command("setVolume", {"volume": volume})
    # Metrics come about once a second; a host might show the capture level from them.
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        event = kestrune.next_event(EVENT_TIMEOUT)
        if event["event"] == "metrics":
            print(f"host: captured level {event['payload']['metrics']['captureRms']:.0f}"
                  " (RMS in 16-bit sample units)")
        elif is_terminal(event):
            raise HostError(f"the live session ended by itself: {event['payload']}")
    # stopSession answers once the session has ended; its "terminal" comes first.
    stopped = kestrune.command("stopSession")
    terminal = kestrune.wait_event(is_terminal, 0)
    if terminal["payload"]["outcome"] != "completed":
        raise HostError(f"the live session did not end well: {terminal['payload']}")
    print(f"host: the live session stopped after {stopped['metrics']['packetsSent']} packets")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kestrune", required=True, help="the kestrune binary")
    parser.add_argument("--receiver", metavar="ADDRESS:PORT", help="the receiver to play to")
    parser.add_argument("--file", help="a WAV file (PCM, 44100 Hz, 16-bit, stereo) to play")
    parser.add_argument("--live", type=float, metavar="SECONDS",
                        help="then play the default output device for this long")
    parser.add_argument("--volume", type=float, default=0.5, help="set once playing (0 to 1)")
    parser.add_argument("--scan-ms", type=int, default=1000, help="scan time (100 to 5000)")
    parser.add_argument("--kestrune-stderr", metavar="PATH",
                        help="where kestrune's standard error goes (default: here)")
    args = parser.parse_args()

    stderr = open(args.kestrune_stderr, "wb") if args.kestrune_stderr else None
    kestrune = Kestrune(args.kestrune, stderr=stderr)
    try:
        ready = kestrune.wait_ready()
        print(f"host: {ready['name']} {ready['kestruneVersion']} is ready")
        kestrune.command("hello")
        capabilities = kestrune.command("getCapabilities")
        if "startSession" not in capabilities["availableCommands"]:
            raise HostError("this kestrune cannot start sessions")
        # The scan holds every later command until it answers: at most its time plus 1 s.
        scan = kestrune.command("scan", {"timeoutMs": args.scan_ms},
                                timeout=args.scan_ms / 1000 + RESPONSE_TIMEOUT)
        for warning in scan["warnings"]:
            print(f"host: {warning['occurrences']} network interfaces could not be browsed")
        device = choose_device(scan["devices"], args.receiver)
        if args.file:
            play_file(kestrune, device, args.file, args.volume)
        if args.live:
            play_live(kestrune, device, args.live, args.volume)
        complete, status = kestrune.shutdown()
        if not complete["clean"] or status != 0:
            raise HostError(f"kestrune did not end cleanly: {complete}, exit status {status}")
        print("host: done; kestrune exited with 0")
        return 0
    except (HostError, OSError) as failure:
        print(f"host: {failure}", file=sys.stderr)
        return 1
    finally:
        kestrune.kill()
        if stderr:
            stderr.close()


if __name__ == "__main__":
    sys.exit(main())
