#include "udplog-recv/forward/ForwardTarget.h"

#include "platform/ShownValue.h"

ForwardResult ForwardTarget::parse(const std::string& text, const std::string& schemeName,
                                   ForwardTarget& out) {
  const std::string scheme = schemeName + "://";
  const ForwardResult notATarget =
      ForwardResult::fatal("--forward " + shownValue(text) + " is not " + scheme + "HOST:PORT");
  if (text.compare(0, scheme.size(), scheme) != 0) return notATarget;
  std::string rest = text.substr(scheme.size());
  std::string host, port;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return notATarget;
    }
    host = rest.substr(1, close - 1);
    port = rest.substr(close + 2);
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || rest.find(':') != colon) return notATarget;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) == 0 ||
      std::stoul(port) > 65535) {
    return notATarget;
  }
  out.text = text;
  out.host = host;
  out.port = port;
  return ForwardResult::success();
}
