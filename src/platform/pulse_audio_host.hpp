#pragma once
// The sound server's audio host (PulseAudio, or PipeWire's pulse server). The default sink is the
// default output device; its name is the sink's description. Its default output configuration is
// what a loopback stream delivers: the sink's monitor source recorded at the sink's own rate, as
// the sink's front-left and front-right channels copied as they are (its one channel for a mono
// sink; see loopback_channels.hpp), in a sample format the server converts to for us whatever the
// sink's own format is ("I16" for a sink of 16-bit or narrower samples, which keeps them
// bit-exact, "F32" for float, 24- and 32-bit sinks). Only what the server cannot record is
// refused.

#include <memory>
#include <string>

#include "platform/audio_device.hpp"

namespace kestrune::platform {

// A host on `server` (a libpulse server string, e.g. "unix:/path/native"); empty: libpulse's
// default server, which honours PULSE_SERVER. Connects only when a device is asked for, and never
// starts a server.
std::unique_ptr<AudioHost> make_pulse_audio_host(std::string server = {});

// The process's host on the default server.
AudioHost& default_audio_host();

}  // namespace kestrune::platform
