#pragma once
// The sound server's audio host (PulseAudio, or PipeWire's pulse server). The default sink is the
// default output device; its name is the sink's description; its default output configuration is
// the sink's own sample spec (rate, channel count, and a sample format named as the audio library
// names them: 16-bit samples "I16", float samples "F32", 24- and 32-bit samples "I32", 8-bit "U8");
// a loopback stream records the sink's monitor source in that same rate and channel layout.

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
