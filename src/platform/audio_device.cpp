#include "platform/audio_device.hpp"

namespace kestrune::platform {

std::string_view sample_format_name(SampleFormat format) {
  switch (format) {
    case SampleFormat::i8:
      return "I8";
    case SampleFormat::i16:
      return "I16";
    case SampleFormat::i32:
      return "I32";
    case SampleFormat::i64:
      return "I64";
    case SampleFormat::u8:
      return "U8";
    case SampleFormat::u16:
      return "U16";
    case SampleFormat::u32:
      return "U32";
    case SampleFormat::u64:
      return "U64";
    case SampleFormat::f32:
      return "F32";
    case SampleFormat::f64:
      return "F64";
  }
  return "<unknown>";
}

}  // namespace kestrune::platform
