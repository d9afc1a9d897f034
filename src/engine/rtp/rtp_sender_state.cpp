#include "engine/rtp/rtp_sender_state.hpp"

#include <utility>

#include "support/wipe.hpp"

namespace kestrune::engine {

RtpSenderState::RtpSenderState(std::shared_ptr<PacketHistory> history_handle, const AeadKey& key)
    : history(std::move(history_handle)), audio_key(key) {}

RtpSenderState::~RtpSenderState() { support::wipe(audio_key); }

}  // namespace kestrune::engine
