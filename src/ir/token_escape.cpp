// Escaping of free text inside tokens. Escaping "%" along with the three
// separators makes every "%" in a token begin an escape, so parsing is exact.
#include "ir/token_escape.h"

#include <array>

namespace nodalis::ir {

void append_escaped(std::string& out, std::string_view text) {
  // One left-to-right pass gives the same text as the four ordered
  // whole-text replacements, since no replacement introduces a later one's
  // pattern except "%" itself, which is handled first.
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* rep = nullptr;
    switch (text[i]) {
      case '%': rep = "%25"; break;
      case ';': rep = "%3B"; break;
      case '=': rep = "%3D"; break;
      case '|': rep = "%7C"; break;
      default: continue;
    }
    out.append(text.data() + run, i - run);
    out.append(rep, 3);
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

std::string escape_token(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

namespace {

// Replaces every non-overlapping occurrence of `from` (3 bytes) by `to`,
// scanning left to right.
void replace_all(std::string& s, std::string_view from, char to) {
  size_t pos = s.find(from);
  if (pos == std::string::npos) return;
  std::string out;
  out.reserve(s.size());
  size_t run = 0;
  while (pos != std::string::npos) {
    out.append(s, run, pos - run);
    out.push_back(to);
    run = pos + from.size();
    pos = s.find(from, run);
  }
  out.append(s, run, std::string::npos);
  s.swap(out);
}

}  // namespace

std::string unescape_token(std::string_view text) {
  // Four whole-text passes in this fixed order are the defined behaviour;
  // "%25" goes last so that a decoded "%" is never decoded again
  // ("%253B" gives "%3B").
  std::string s(text);
  if (s.find('%') == std::string::npos) return s;
  replace_all(s, "%7C", '|');
  replace_all(s, "%3D", '=');
  replace_all(s, "%3B", ';');
  replace_all(s, "%25", '%');
  return s;
}

}  // namespace nodalis::ir
