#pragma once
// The tags of a receiver's XML property list, found without a parser: both the nesting check and
// the integer rewrite walk the text this one way, so they always agree on what is a tag.

#include <cstddef>
#include <string_view>

namespace kestrune::engine {

// Calls `visit(begin, end)` for each tag of `text` in order, where `begin` is the index of its '<'
// and `end` the index just past its '>' (the text's end when it has none). Comments, CDATA
// sections and processing instructions are passed over whole: nothing inside them is a tag.
// `visit` returns false to end the walk early. Linear in the length of `text`.
template <class Visit>
void walk_xml_tags(std::string_view text, Visit&& visit) {
  const auto skip_past = [&](std::size_t from, std::string_view end) {
    const std::size_t found = text.find(end, from);
    return found == std::string_view::npos ? text.size() : found + end.size();
  };
  std::size_t at = text.find('<');
  while (at != std::string_view::npos) {  // every turn moves past at least one '<'
    const std::string_view rest = text.substr(at);
    std::size_t next = 0;
    if (rest.starts_with("<!--")) {
      next = skip_past(at + 4, "-->");
    } else if (rest.starts_with("<![CDATA[")) {
      next = skip_past(at + 9, "]]>");
    } else if (rest.starts_with("<?")) {
      next = skip_past(at + 2, "?>");
    } else {
      next = skip_past(at + 1, ">");
      if (!visit(at, next)) return;
    }
    at = text.find('<', next);
  }
}

}  // namespace kestrune::engine
