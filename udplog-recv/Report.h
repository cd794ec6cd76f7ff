// udplog-recv's lines on standard error: "udplog-recv: " and the text, one write each, and the
// shapes the rate-limited reports take. Free functions for main() and the collector's parts on
// main's thread; report() itself is safe on any thread, each line being written whole.
#pragma once

#include <string>

#include "logger/core/ReportLimiter.h"

// One line on standard error, written whole: a signal that interrupts a write into a full pipe
// does not cut it short.
void report(const std::string& text);

// How the rate-limited reports read: in full, or the count of the ones held back after the
// latest, "127.0.0.1:5000: lost line 7 (120 more like this in the last 10 s)".
void printReport(const ReportLimiter::Line& line);

// A report about one sender, "127.0.0.1:40000: lost line 7": its kind leaves out the sender (as
// well as the numbers), so that a flood from many addresses or ports is still one kind.
void reportAboutSender(ReportLimiter& reports, const std::string& text);
