#include "platform/loopback_channels.hpp"

#include <algorithm>
#include <cstdint>

namespace kestrune::platform {

namespace {

int count_of(const pa_channel_map& map, pa_channel_position_t position) {
  return static_cast<int>(std::count(map.map, map.map + map.channels, position));
}

}  // namespace

LoopbackChannels loopback_channels(const pa_channel_map& sink_map) {
  LoopbackChannels chosen{};
  pa_channel_map_init(&chosen.map);
  // By name, each stream channel is a copy of the sink channel of the same position: exact only
  // when that position occurs once, as the server would sum the copies otherwise.
  if (count_of(sink_map, PA_CHANNEL_POSITION_FRONT_LEFT) == 1 &&
      count_of(sink_map, PA_CHANNEL_POSITION_FRONT_RIGHT) == 1) {
    pa_channel_map_init_stereo(&chosen.map);
    chosen.flags = PA_STREAM_NO_REMIX_CHANNELS;
    return chosen;
  }
  // By index, stream channel i is sink channel i.
  chosen.map.channels = std::min<std::uint8_t>(sink_map.channels, 2);
  std::copy_n(sink_map.map, chosen.map.channels, chosen.map.map);
  chosen.flags = PA_STREAM_NO_REMAP_CHANNELS;
  return chosen;
}

}  // namespace kestrune::platform
