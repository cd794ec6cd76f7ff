// The record's splitting rule and line form written the plain way, with a string stream: the
// reference that the record's direct byte scan must match exactly.
#pragma once

#include <iomanip>
#include <sstream>
#include <string>

namespace testsupport {

inline std::string referenceLineForm(const std::string& line) {
  std::stringstream stream(line);
  std::string f[6];
  for (auto& field : f) std::getline(stream, field, '\x0b');
  std::ostringstream out;
  out << std::setw(22) << f[0] << std::setw(12) << f[1] << std::setw(10) << f[2] << std::setw(18)
      << f[3] << " " << f[4] << " -> " << f[5];
  return out.str();
}

}  // namespace testsupport
