#include "core/profile.hpp"

#include <cstdio>
#include <cstdlib>

namespace velnor {

namespace {

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    const bool overlong = (len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) ||
                          (len == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

}  // namespace

std::optional<std::string> env_unicode(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !valid_utf8(value)) return std::nullopt;
  return std::string(value);
}

bool profiling_enabled() { return env_unicode("VELNOR_PROFILE").has_value(); }

double Stopwatch::seconds() const {
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  const double s = std::chrono::duration<double>(elapsed).count();
  return s > 0.0 ? s : 0.0;
}

void print_profile_line(std::string_view line) {
  std::string whole(line);
  whole.push_back('\n');
  std::fwrite(whole.data(), 1, whole.size(), stderr);
  std::fflush(stderr);
}

void print_stage_line(const char* label, double seconds) {
  char line[96];
  std::snprintf(line, sizeof line, "[velnor] %-14s %7.3fs", label, seconds);
  print_profile_line(line);
}

std::string format_seconds(double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", seconds);
  return buf;
}

}  // namespace velnor
