#include "http/text.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace va::text {

namespace {

// Decodes one code point of valid UTF-8 at `i`, advancing `i`.
char32_t decodeAt(std::string_view s, size_t& i) {
  auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  if (c < 0x80) {
    i += 1;
    return c;
  }
  if (c < 0xE0) {
    char32_t cp = (char32_t(c & 0x1F) << 6) | (b(i + 1) & 0x3F);
    i += 2;
    return cp;
  }
  if (c < 0xF0) {
    char32_t cp = (char32_t(c & 0x0F) << 12) | (char32_t(b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    i += 3;
    return cp;
  }
  char32_t cp = (char32_t(c & 0x07) << 18) | (char32_t(b(i + 1) & 0x3F) << 12) |
                (char32_t(b(i + 2) & 0x3F) << 6) | (b(i + 3) & 0x3F);
  i += 4;
  return cp;
}

void encode(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

struct LowerRun {
  char32_t first, last;
  int stride, delta;
};
constexpr LowerRun kLowerRuns[] = {
#include "http/unicode_lower.inc"
};

char32_t lowerOf(char32_t cp) {
  auto it = std::upper_bound(std::begin(kLowerRuns), std::end(kLowerRuns), cp,
                             [](char32_t c, const LowerRun& r) { return c < r.first; });
  if (it == std::begin(kLowerRuns))
    return cp;
  const LowerRun& r = *(it - 1);
  if (cp > r.last || (cp - r.first) % static_cast<char32_t>(r.stride) != 0)
    return cp;
  return static_cast<char32_t>(static_cast<int64_t>(cp) + r.delta);
}

bool isSpace(char32_t cp) {
  switch (cp) {
  case 0x09:
  case 0x20:
  case 0xA0:
  case 0x1680:
  case 0x202F:
  case 0x205F:
  case 0x3000:
    return true;
  default:
    return cp >= 0x2000 && cp <= 0x200A;
  }
}

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int hexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return c - 'A' + 10;
}

bool isAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isUnreserved(char c) {
  return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
  constexpr std::string_view kSubDelims = "!$&'()*+,;=";
  return kSubDelims.find(c) != std::string_view::npos;
}

// Every character is unreserved, a sub-delimiter, one of `extra`, or part of a valid %XX.
bool allOf(std::string_view s, std::string_view extra) {
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '%') {
      if (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2]))
        return false;
      i += 2;
      continue;
    }
    if (!isUnreserved(c) && !isSubDelim(c) && extra.find(c) == std::string_view::npos)
      return false;
  }
  return true;
}

bool isIPv4(std::string_view s) {
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    size_t start = i;
    while (i < s.size() && isDigit(s[i]))
      ++i;
    size_t len = i - start;
    if (len == 0 || len > 3 || (len > 1 && s[start] == '0'))
      return false;
    int value = 0;
    for (size_t k = start; k < i; ++k)
      value = value * 10 + (s[k] - '0');
    if (value > 255)
      return false;
    ++parts;
    if (parts < 4) {
      if (i >= s.size() || s[i] != '.')
        return false;
      ++i;
    }
  }
  return i == s.size();
}

bool isH16(std::string_view s) {
  return !s.empty() && s.size() <= 4 && std::all_of(s.begin(), s.end(), isHex);
}

bool isIPv6(std::string_view s) {
  // Split at "::" (at most once); each side is h16 groups separated by ':', and the last group
  // of the whole address may be an IPv4 address (worth two groups).
  auto countGroups = [](std::string_view side, bool mayEndInV4, int& groups) {
    groups = 0;
    if (side.empty())
      return true;
    size_t start = 0;
    for (;;) {
      size_t colon = side.find(':', start);
      std::string_view g =
          side.substr(start, colon == std::string_view::npos ? side.npos : colon - start);
      bool last = colon == std::string_view::npos;
      if (last && mayEndInV4 && g.find('.') != std::string_view::npos) {
        if (!isIPv4(g))
          return false;
        groups += 2;
        return true;
      }
      if (!isH16(g))
        return false;
      ++groups;
      if (last)
        return true;
      start = colon + 1;
    }
  };
  size_t dc = s.find("::");
  int left = 0, right = 0;
  if (dc == std::string_view::npos) {
    return countGroups(s, true, left) && left == 8;
  }
  if (s.find("::", dc + 1) != std::string_view::npos)
    return false;
  std::string_view l = s.substr(0, dc), r = s.substr(dc + 2);
  if (!countGroups(l, false, left) || !countGroups(r, true, right))
    return false;
  return left + right <= 7;
}

bool isIPLiteral(std::string_view s) { // without the brackets
  if (s.empty())
    return false;
  if (s[0] == 'v' || s[0] == 'V') { // IPvFuture
    size_t dot = s.find('.');
    if (dot == std::string_view::npos || dot < 2)
      return false;
    if (!std::all_of(s.begin() + 1, s.begin() + static_cast<ptrdiff_t>(dot), isHex))
      return false;
    std::string_view rest = s.substr(dot + 1);
    return !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) {
      return isUnreserved(c) || isSubDelim(c) || c == ':';
    });
  }
  return isIPv6(s);
}

bool isAuthority(std::string_view a) {
  size_t at = a.rfind('@');
  if (at != std::string_view::npos) {
    if (!allOf(a.substr(0, at), ":"))
      return false;
    a = a.substr(at + 1);
  }
  std::string_view host = a, port;
  if (!a.empty() && a[0] == '[') {
    size_t close = a.find(']');
    if (close == std::string_view::npos || !isIPLiteral(a.substr(1, close - 1)))
      return false;
    std::string_view rest = a.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':')
        return false;
      port = rest.substr(1);
    }
    return std::all_of(port.begin(), port.end(), isDigit);
  }
  size_t colon = a.rfind(':');
  if (colon != std::string_view::npos) {
    host = a.substr(0, colon);
    port = a.substr(colon + 1);
  }
  return allOf(host, "") && std::all_of(port.begin(), port.end(), isDigit);
}

} // namespace

bool isValidUtf8(std::string_view s) {
  size_t i = 0, n = s.size();
  auto cont = [&](size_t k) { return k < n && (static_cast<uint8_t>(s[k]) & 0xC0) == 0x80; };
  while (i < n) {
    uint8_t c = static_cast<uint8_t>(s[i]);
    if (c < 0x80) {
      i += 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      if (!cont(i + 1))
        return false;
      i += 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      if (!cont(i + 1) || !cont(i + 2))
        return false;
      uint8_t c1 = static_cast<uint8_t>(s[i + 1]);
      if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F)) // overlong; surrogate
        return false;
      i += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (!cont(i + 1) || !cont(i + 2) || !cont(i + 3))
        return false;
      uint8_t c1 = static_cast<uint8_t>(s[i + 1]);
      if ((c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F)) // overlong; above U+10FFFF
        return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::string toLower(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    char c = s[i];
    if (static_cast<uint8_t>(c) < 0x80) {
      out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
      ++i;
      continue;
    }
    char32_t cp = decodeAt(s, i);
    if (cp == 0x130) { // LATIN CAPITAL LETTER I WITH DOT ABOVE: "i" + COMBINING DOT ABOVE
      out.push_back('i');
      encode(0x307, out);
      continue;
    }
    encode(lowerOf(cp), out);
  }
  return out;
}

std::string_view trimSpaces(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    size_t next = begin;
    if (!isSpace(decodeAt(s, next)))
      break;
    begin = next;
  }
  size_t end = s.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    size_t start = end - 1;
    while (start > begin && (static_cast<uint8_t>(s[start]) & 0xC0) == 0x80)
      --start;
    size_t next = start;
    if (!isSpace(decodeAt(s, next)))
      break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

bool isUriReference(std::string_view t) {
  std::string_view rest = t;
  if (size_t hash = rest.find('#'); hash != std::string_view::npos) {
    if (!allOf(rest.substr(hash + 1), ":@/?"))
      return false;
    rest = rest.substr(0, hash);
  }
  if (size_t q = rest.find('?'); q != std::string_view::npos) {
    if (!allOf(rest.substr(q + 1), ":@/?"))
      return false;
    rest = rest.substr(0, q);
  }
  // A scheme is letters, digits, "+", "-" and "." before the first ":", starting with a letter,
  // with no "/" before that colon.
  size_t colon = rest.find(':');
  size_t slash = rest.find('/');
  if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
    std::string_view scheme = rest.substr(0, colon);
    bool ok = !scheme.empty() && isAlpha(scheme[0]) &&
              std::all_of(scheme.begin(), scheme.end(), [](char c) {
                return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
              });
    if (!ok) // a relative path's first segment may not hold a colon
      return false;
    rest = rest.substr(colon + 1);
  }
  if (rest.starts_with("//")) {
    std::string_view after = rest.substr(2);
    size_t end = after.find('/');
    if (!isAuthority(after.substr(0, end)))
      return false;
    rest = end == std::string_view::npos ? std::string_view{} : after.substr(end);
  }
  return allOf(rest, ":@/");
}

std::optional<std::string> percentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    if (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2]))
      return std::nullopt;
    out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
    i += 2;
  }
  return out;
}

} // namespace va::text
