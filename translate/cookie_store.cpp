#include "translate/cookie_store.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "platform/ascii.h"

namespace translate {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool IsIpAddress(std::string_view host) {
  if (host.find(':') != std::string_view::npos) return true;  // IPv6
  return !host.empty() && std::all_of(host.begin(), host.end(),
                                      [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// Whether a request to `host` may carry a cookie of `domain` (a leading "." for a domain
// cookie, none for a host-only one).
bool DomainMatches(const std::string& host, const std::string& domain) {
  if (domain.empty() || domain.front() != '.') return host == domain;
  return host == domain.substr(1) ||
         (host.size() > domain.size() &&
          host.compare(host.size() - domain.size(), domain.size(), domain) == 0);
}

bool PathMatches(const std::string& path, const std::string& cookiePath) {
  if (path.compare(0, cookiePath.size(), cookiePath) != 0) return false;
  return path.size() == cookiePath.size() || cookiePath.back() == '/' ||
         path[cookiePath.size()] == '/';
}

// The request's directory with its final "/" (as the jar this store replaced kept it: a cookie
// set from /dir/page does not go to /dir itself).
std::string DefaultPath(const std::string& requestPath) {
  const std::size_t slash = requestPath.rfind('/');
  if (slash == std::string::npos) return "/";
  return requestPath.substr(0, slash + 1);
}

}  // namespace

std::optional<CookieStore::Clock::time_point> ParseCookieDate(std::string_view text) {
  // RFC 6265 5.1.1: the date is read from its tokens, in whatever order and with whatever
  // punctuation between them.
  int hour = -1, minute = -1, second = -1, day = -1, month = -1, year = -1;
  static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
  auto delimiter = [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u == 0x09 || (u >= 0x20 && u <= 0x2F) || (u >= 0x3B && u <= 0x40) ||
           (u >= 0x5B && u <= 0x60) || (u >= 0x7B && u <= 0x7E);
  };
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && delimiter(text[i])) ++i;
    std::size_t end = i;
    while (end < text.size() && !delimiter(text[end])) ++end;
    const std::string_view token = text.substr(i, end - i);
    i = end;
    if (token.empty()) continue;
    int h = 0, m = 0, s = 0;
    char tail = 0;
    const std::string tokenText(token);
    if (hour < 0 && std::sscanf(tokenText.c_str(), "%2d:%2d:%2d%c", &h, &m, &s, &tail) >= 3) {
      hour = h;
      minute = m;
      second = s;
      continue;
    }
    auto digits = [&](std::size_t min, std::size_t max) {
      std::size_t n = 0;
      while (n < token.size() && std::isdigit(static_cast<unsigned char>(token[n]))) ++n;
      return n >= min && n <= max ? std::atoi(tokenText.c_str()) : -1;
    };
    if (day < 0 && digits(1, 2) >= 0) {
      day = digits(1, 2);
      continue;
    }
    if (month < 0 && token.size() >= 3) {
      const std::string name = Lower(token.substr(0, 3));
      for (int k = 0; k < 12; ++k) {
        if (name == kMonths[k]) month = k;
      }
      if (month >= 0) continue;
    }
    if (year < 0 && digits(2, 4) >= 0) year = digits(2, 4);
  }
  if (year >= 70 && year <= 99) year += 1900;
  if (year >= 0 && year <= 69) year += 2000;
  if (hour < 0 || day < 1 || day > 31 || month < 0 || year < 1601 || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
#ifdef _WIN32
  const std::time_t t = _mkgmtime(&tm);
#else
  const std::time_t t = timegm(&tm);
#endif
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return CookieStore::Clock::from_time_t(t);
}

void CookieStore::Receive(std::string_view header, const std::string& host,
                          const std::string& requestPath, Clock::time_point now) {
  // name=value, then attributes after ";".
  const std::size_t semicolon = header.find(';');
  const std::string_view pair = header.substr(0, semicolon);
  const std::size_t equals = pair.find('=');
  if (equals == std::string_view::npos) return;  // not a cookie
  Cookie cookie;
  cookie.name = std::string(Trim(pair.substr(0, equals)));
  cookie.value = std::string(Trim(pair.substr(equals + 1)));
  if (cookie.name.empty()) return;
  const std::string lowerHost = Lower(host);
  std::optional<Clock::time_point> maxAge, expires;
  std::string domain;
  std::string_view rest =
      semicolon == std::string_view::npos ? std::string_view() : header.substr(semicolon + 1);
  while (!rest.empty()) {
    const std::size_t next = rest.find(';');
    const std::string_view attribute = rest.substr(0, next);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
    const std::size_t eq = attribute.find('=');
    const std::string key = Lower(Trim(attribute.substr(0, eq)));
    const std::string_view value =
        eq == std::string_view::npos ? std::string_view() : Trim(attribute.substr(eq + 1));
    if (key == "expires") {
      if (auto date = ParseCookieDate(value)) expires = date;
    } else if (key == "max-age") {
      const std::string number(value);
      char* end = nullptr;
      const long long seconds = std::strtoll(number.c_str(), &end, 10);
      if (!number.empty() && end != nullptr && *end == '\0') {
        maxAge = seconds <= 0 ? Clock::time_point{} : now + std::chrono::seconds(seconds);
      }
    } else if (key == "domain") {
      domain = Lower(value);
    } else if (key == "path") {
      if (!value.empty() && value.front() == '/') cookie.path = std::string(value);
    } else if (key == "secure") {
      cookie.secure = true;
    }
  }
  cookie.expires = maxAge ? maxAge : expires;  // Max-Age comes before Expires
  if (cookie.path.empty()) cookie.path = DefaultPath(requestPath);

  if (domain.empty()) {
    cookie.domain = lowerHost;  // host-only
  } else {
    if (domain.front() == '.') domain.erase(0, 1);
    if (IsIpAddress(lowerHost) || IsIpAddress(domain)) {
      // An address has no subdomains: only its own cookies.
      if (domain != lowerHost) return;
      cookie.domain = lowerHost;
    } else {
      // A cookie for a domain the host is not in, or for a whole top-level domain, is refused.
      if (domain.find('.') == std::string::npos && domain != lowerHost) return;
      if (!DomainMatches(lowerHost, "." + domain)) return;
      cookie.domain = "." + domain;
    }
  }

  const auto same = std::find_if(cookies_.begin(), cookies_.end(), [&](const Cookie& c) {
    return c.name == cookie.name && c.domain == cookie.domain && c.path == cookie.path;
  });
  const bool expired = cookie.expires && *cookie.expires <= now;
  // A replaced cookie goes to the end, as a new one would: the order is the order of setting.
  if (same != cookies_.end()) cookies_.erase(same);
  if (!expired) cookies_.push_back(std::move(cookie));
}

std::string CookieStore::For(const std::string& host, const std::string& path,
                             Clock::time_point now) {
  std::erase_if(cookies_, [&](const Cookie& c) { return c.expires && *c.expires <= now; });
  const std::string lowerHost = Lower(host);
  std::vector<const Cookie*> matching;
  for (const Cookie& c : cookies_) {
    if (!c.secure && DomainMatches(lowerHost, c.domain) && PathMatches(path, c.path)) {
      matching.push_back(&c);
    }
  }
  std::stable_sort(matching.begin(), matching.end(), [](const Cookie* a, const Cookie* b) {
    return a->path.size() > b->path.size();
  });
  std::string line;
  for (const Cookie* c : matching) {
    if (!line.empty()) line += "; ";
    line += c->name + "=" + c->value;
  }
  return line;
}

}  // namespace translate
