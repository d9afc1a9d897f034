#pragma once
// Which of a sink's channels a loopback stream records, and how the server is to deliver them:
// as they are, never mixed. A sink with one front-left and one front-right channel gives those
// two, picked by position wherever they sit in its map; a sink with one channel gives that
// channel (the capture then makes left = right); any other sink gives its first two channels by
// index. What the sink's other channels carry (centre, LFE, rear) is left out, and the level of
// the recorded channels is the sink's own.

#include <pulse/channelmap.h>
#include <pulse/def.h>

namespace kestrune::platform {

struct LoopbackChannels {
  pa_channel_map map;       // the record stream's map: one or two channels
  pa_stream_flags_t flags;  // how the server maps the sink's channels onto it, without remixing
};

// For a valid sink map.
LoopbackChannels loopback_channels(const pa_channel_map& sink_map);

}  // namespace kestrune::platform
