#include "udplog-recv/Delivery.h"

#include "udplog-recv/Report.h"

void Delivery::line(const std::string& host, unsigned port, std::uint32_t, std::string_view text) {
  ++deliveredLines;
  if (out) out->write(text);
  if (forwarder) forwarder->enqueue(host, port, text, received);
  if (relp) relp->enqueue(host, port, text, received);
}

void Delivery::report(const std::string& text) { reportAboutSender(reports, text); }
