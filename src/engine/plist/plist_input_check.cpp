#include "engine/plist/plist_input_check.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

#include "engine/plist/plist_binary_layout.hpp"
#include "engine/plist/xml_tags.hpp"

namespace kestrune::engine {

namespace {

// The element count of the object at `at` (the marker's low half, or the integer that follows
// it when that is 0xF) and where its contents start; nothing when that runs past the objects.
struct Contents {
  std::uint64_t count;
  std::size_t at;
};
std::optional<Contents> contents_of(const BinaryPlistLayout& layout, std::size_t at) {
  const auto& bytes = layout.bytes;
  Contents contents{static_cast<std::uint64_t>(bytes[at] & 0x0F), at + 1};
  if (contents.count != 0x0F) return contents;
  if (contents.at >= layout.objects_end || (bytes[contents.at] >> 4) != 1) return std::nullopt;
  const std::size_t size = std::size_t{1} << (bytes[contents.at] & 0x0F);
  if (size > 16 || contents.at + 1 + size > layout.objects_end) return std::nullopt;
  // A 16-byte count is read by its low half, as the library does.
  const std::size_t low = size > 8 ? size - 8 : 0;
  contents.count = read_big_endian(bytes.subspan(contents.at + 1 + low, size - low));
  contents.at += 1 + size;
  return contents;
}

// Whether the string object at `at` holds a NUL character. libplist keeps such a string with a
// length that disagrees with its C string and aborts on an assertion when the text is asked for
// (a UTF-16 key holding U+0000 is enough).
bool string_holds_nul(const BinaryPlistLayout& layout, std::size_t at) {
  const unsigned kind = layout.bytes[at] >> 4;  // 5: ASCII string, 6: UTF-16 string
  if (kind != 5 && kind != 6) return false;
  const auto contents = contents_of(layout, at);
  const std::uint64_t unit = kind == 5 ? 1 : 2;
  if (!contents || contents->count > (layout.objects_end - contents->at) / unit) return false;
  const auto text = layout.bytes.subspan(contents->at, contents->count * unit);
  for (std::size_t k = 0; k < text.size(); k += unit) {
    if (text[k] == 0 && (unit == 1 || text[k + 1] == 0)) return true;
  }
  return false;
}

// The objects a container refers to (a dictionary's keys, then its values); none for any other
// object, and none for a container whose references run past the objects, which the library
// cannot read either.
std::vector<std::uint64_t> references_of(const BinaryPlistLayout& layout, std::size_t at) {
  const unsigned kind = layout.bytes[at] >> 4;  // 0xA: array, 0xC: set, 0xD: dictionary
  if (kind != 0xA && kind != 0xC && kind != 0xD) return {};
  const auto contents = contents_of(layout, at);
  if (!contents) return {};
  const std::uint64_t per_element = kind == 0xD ? 2 : 1;
  const std::uint64_t room = (layout.objects_end - contents->at) / layout.ref_size;
  if (contents->count > room / per_element) return {};
  std::vector<std::uint64_t> references(static_cast<std::size_t>(contents->count * per_element));
  for (std::size_t i = 0; i < references.size(); ++i) {
    references[i] =
        read_big_endian(layout.bytes.subspan(contents->at + i * layout.ref_size, layout.ref_size));
  }
  return references;
}

std::string too_deep() {
  return "property list nests deeper than " + std::to_string(kMaxPlistDepth) + " levels";
}

// Walks every path from the top object the way the library reads it, without recursion: each
// object is visited once and remembers how many values and how many levels it stands for.
std::optional<std::string> binary_expansion_refusal(const BinaryPlistLayout& layout) {
  enum class Visit : std::uint8_t { unseen, open, closed };
  struct Frame {
    std::uint64_t index;
    std::vector<std::uint64_t> references;
    std::size_t next = 0;
    std::uint64_t values = 1;  // itself and what the references read so far stand for
    std::size_t depth = 1;
  };
  const auto count = static_cast<std::size_t>(layout.object_count);
  std::vector<Visit> visits(count, Visit::unseen);
  std::vector<std::uint64_t> values(count, 0);
  std::vector<std::size_t> depths(count, 0);
  std::vector<Frame> path;
  const auto open = [&](std::uint64_t index) {
    visits[index] = Visit::open;
    const auto at = layout.offset_of(index);
    path.push_back(Frame{index, at ? references_of(layout, *at) : std::vector<std::uint64_t>{}});
  };
  open(layout.top);
  // Every turn reads one reference or closes one object; each object is opened at most once.
  while (!path.empty()) {
    Frame& frame = path.back();
    if (frame.next == frame.references.size()) {
      values[frame.index] = frame.values;
      depths[frame.index] = frame.depth;
      visits[frame.index] = Visit::closed;
      const Frame closed = std::move(frame);
      path.pop_back();
      if (path.empty()) break;
      Frame& parent = path.back();
      parent.values += closed.values;
      parent.depth = std::max(parent.depth, closed.depth + 1);
    } else {
      const std::uint64_t child = frame.references[frame.next++];
      if (child >= layout.object_count) continue;  // the library refuses the list
      if (visits[child] == Visit::open) return "binary property list refers to itself";
      if (visits[child] == Visit::closed) {
        frame.values += values[child];
        frame.depth = std::max(frame.depth, depths[child] + 1);
      } else if (path.size() >= kMaxPlistDepth) {
        return too_deep();
      } else {
        open(child);
        continue;
      }
    }
    const Frame& updated = path.back();
    if (updated.depth > kMaxPlistDepth) return too_deep();
    if (updated.values > kMaxPlistValues) {
      return "binary property list expands to more than " + std::to_string(kMaxPlistValues) +
             " values";
    }
  }
  return std::nullopt;
}

std::optional<std::string> binary_refusal(std::span<const std::uint8_t> bytes) {
  // The library cannot read these either; refusing them here keeps every list it reads checked.
  const auto layout = read_binary_plist_layout(bytes);
  if (!layout) return "binary property list tables do not fit";
  for (std::uint64_t i = 0; i < layout->object_count; ++i) {  // bounded by the table's size
    const auto at = layout->offset_of(i);
    if (at && string_holds_nul(*layout, *at)) {
      return "binary property list holds a string with a NUL character";
    }
  }
  return binary_expansion_refusal(*layout);
}

// The element nesting of XML text: "</...>" closes, "<.../>" opens and closes at once, a
// declaration ("<!...>") opens nothing.
std::optional<std::string> xml_refusal(std::string_view text) {
  std::size_t depth = 0;
  bool deep = false;
  walk_xml_tags(text, [&](std::size_t begin, std::size_t end) {
    const std::string_view tag = text.substr(begin, end - begin);
    if (tag.starts_with("</")) {
      if (depth > 0) --depth;
    } else if (!tag.starts_with("<!") && !(end >= 2 && text[end - 2] == '/')) {
      deep = ++depth > kMaxPlistDepth;
    }
    return !deep;
  });
  if (deep) return too_deep();
  return std::nullopt;
}

}  // namespace

std::optional<std::string> plist_input_refusal(std::span<const std::uint8_t> bytes, bool binary) {
  if (binary) return binary_refusal(bytes);
  return xml_refusal({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
}

}  // namespace kestrune::engine
