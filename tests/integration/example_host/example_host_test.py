#!/usr/bin/env python3
"""The example host (examples/host.py) against the test receiver, so that the example cannot rot.

Runs under tests/services/netns.sh: the test receiver listens on the receiver namespace's address,
a private avahi-daemon there announces it as a HomePod, and a private PulseAudio server plays a
tone of known levels and frequencies into its default sink. The example host scans, must find
the receiver and turn the scanned device into its startSession device, plays a WAV file and then
the default output (a live session) to the one receiver process, changes the volume of each and
shuts kestrune down. The receiver's two accounts must be clean: the file's audio bit-exact, and
the live audio at the tone's level (within 0.5 dB) and frequency (within 1 Hz) on each channel.

    example_host_test.py --kestrune BIN --receiver BIN --source DIR
"""

import argparse
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import wave

TONES = ((440.0, 0.5), (997.0, 0.25))  # left, right: frequency in Hz, amplitude of full scale
VOLUME = 0.3
VOLUME_DB = "-10.46"  # 20·log10(0.3)
LIVE_SECONDS = 3
PATIENCE = 60  # seconds for any one step


def write_tone(path, rate, seconds):
    frames = bytearray()
    for i in range(int(rate * seconds)):
        for frequency, amplitude in TONES:
            frames += struct.pack("<h", round(amplitude * 32767 *
                                              math.sin(2 * math.pi * frequency * i / rate)))
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(bytes(frames))


def sine_dbfs(amplitude):
    return 20 * math.log10(amplitude * 32767 / math.sqrt(2) / 32768)


def wait_for(condition, what):
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError(f"gave up waiting for {what}")


def read_accounts(lines):
    """{session: {name: value}} from the receiver's "account <session> <name>=<value>" lines."""
    accounts = {}
    for line in lines:
        found = re.fullmatch(r"account (\d+) (\w+)=(.*)", line)
        if found:
            accounts.setdefault(int(found[1]), {})[found[2]] = found[3]
    return accounts


class Failures:
    def __init__(self):
        self.messages = []

    def expect(self, holds, message):
        if not holds:
            self.messages.append(message)

    def near(self, text, wanted, within, what):
        try:
            value = float(text)
        except (TypeError, ValueError):
            self.messages.append(f"{what}: {text!r} is no number")
            return
        self.expect(abs(value - wanted) <= within, f"{what}: {value} is not {wanted} ± {within}")


def check(accounts, host_output):
    failures = Failures()
    failures.expect(re.search(r"^host: playing to the scanned receiver ", host_output, re.M),
                    "the example host did not play to the receiver it scanned")
    failures.expect(sorted(accounts) == [1, 2], f"accounts of sessions {sorted(accounts)}")
    for session, account in sorted(accounts.items()):
        what = f"session {session}"
        failures.expect(int(account.get("packets_received", "0")) > 0, f"{what}: no packets")
        failures.expect(account.get("sequence_gaps") == "0", f"{what}: gaps {account}")
        failures.expect(account.get("decrypt_failures") == "0", f"{what}: failures {account}")
        failures.expect(account.get("retransmissions_answered") == "2 of 2 requested",
                        f"{what}: retransmissions {account.get('retransmissions_answered')}")
        failures.expect(account.get("volume_db") == VOLUME_DB, f"{what}: volume {account}")
    file_account, live = accounts.get(1, {}), accounts.get(2, {})
    failures.expect(file_account.get("audio", "").startswith("matches"),
                    f"the file's audio: {file_account.get('audio')}")
    for channel, (frequency, amplitude) in zip(("left", "right"), TONES):
        failures.near(live.get(f"{channel}_level_dbfs"), sine_dbfs(amplitude), 0.5,
                      f"the live {channel} level")
        failures.near(live.get(f"{channel}_frequency_hz"), frequency, 1.0,
                      f"the live {channel} frequency")
    return failures.messages


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kestrune", required=True)
    parser.add_argument("--receiver", required=True)
    parser.add_argument("--source", required=True)
    args = parser.parse_args()
    namespace = os.environ["KESTRUNE_NETNS_RECEIVER"]
    address = os.environ["KESTRUNE_NETNS_RECEIVER_ADDRESS"]
    services = os.path.join(args.source, "tests", "services")

    # Under /tmp: the sound server's socket path must stay short.
    work = tempfile.mkdtemp(prefix="kestrune-host-", dir="/tmp")
    pulse_dir, avahi_dir = os.path.join(work, "pulse"), os.path.join(work, "avahi")
    pulse_env = dict(os.environ, PULSE_SERVER=f"unix:{pulse_dir}/native",
                     PULSE_CLIENTCONFIG=os.path.join(pulse_dir, "client.conf"))
    started = []  # (process, stop) of what is to be stopped, last first
    try:
        tone_file, live_tone = os.path.join(work, "tone.wav"), os.path.join(work, "live.wav")
        write_tone(tone_file, 44100, 3)
        write_tone(live_tone, 48000, LIVE_SECONDS + PATIENCE)

        subprocess.run([os.path.join(services, "pulseaudio.sh"), "start", pulse_dir], check=True)
        started.append(lambda: subprocess.run(
            [os.path.join(services, "pulseaudio.sh"), "stop", pulse_dir], check=False))

        receiver_out = open(os.path.join(work, "receiver.out"), "w+")
        receiver = subprocess.Popen(
            ["ip", "netns", "exec", namespace, args.receiver, "--address", address,
             "--expect", tone_file], stdin=subprocess.PIPE, stdout=receiver_out)
        started.append(receiver.kill)
        listening = []

        def receiver_listens():
            receiver_out.seek(0)
            listening[:] = re.findall(r"^listening (\S+)$", receiver_out.read(), re.M)
            return listening

        wait_for(receiver_listens, "the receiver to listen")
        port = int(listening[0].rpartition(":")[2])

        # The receiver announced as a HomePod on the daemon's own host name, which is published
        # with the receiver namespace's address.
        os.makedirs(os.path.join(avahi_dir, "services"))
        with open(os.path.join(avahi_dir, "services", "receiver.service"), "w") as service:
            service.write(f"""<?xml version="1.0" standalone='no'?>
<service-group>
  <name>Test Receiver</name>
  <service>
    <type>_airplay._tcp</type>
    <port>{port}</port>
    <host-name>kestrune-rx.local</host-name>
    <txt-record>deviceid=02:00:00:00:00:01</txt-record>
    <txt-record>model=AudioAccessory5,1</txt-record>
    <txt-record>features=0x445F8A00</txt-record>
  </service>
</service-group>
""")
        subprocess.run([os.path.join(services, "avahi.sh"), "start", avahi_dir], check=True)
        started.append(lambda: subprocess.run(
            [os.path.join(services, "avahi.sh"), "stop", avahi_dir], check=False))

        player = subprocess.Popen(["paplay", live_tone], env=pulse_env)
        started.append(player.kill)
        wait_for(lambda: subprocess.run(["pactl", "list", "short", "sink-inputs"], env=pulse_env,
                                        capture_output=True, text=True).stdout.strip(),
                 "the tone to play")

        host = subprocess.run(
            [sys.executable, os.path.join(args.source, "examples", "host.py"),
             "--kestrune", args.kestrune, "--receiver", f"{address}:{port}", "--scan-ms", "2000",
             "--file", tone_file, "--live", str(LIVE_SECONDS), "--volume", str(VOLUME),
             "--kestrune-stderr", os.path.join(work, "kestrune.err")],
            env=pulse_env, capture_output=True, text=True, timeout=10 * PATIENCE)
        print(host.stdout)
        print(host.stderr, file=sys.stderr)
        if host.returncode != 0:
            with open(os.path.join(work, "kestrune.err")) as err:
                print(err.read(), file=sys.stderr)
            print(f"FAIL: the example host exited with {host.returncode}")
            return 1

        receiver.stdin.close()
        receiver.wait(timeout=PATIENCE)
        receiver_out.seek(0)
        lines = receiver_out.read().splitlines()
        print("\n".join(lines))
        failures = check(read_accounts(lines), host.stdout)
        if receiver.returncode != 0:
            failures.append(f"the receiver exited with {receiver.returncode}")
        for failure in failures:
            print(f"FAIL: {failure}")
        return 1 if failures else 0
    finally:
        for stop in reversed(started):
            stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
