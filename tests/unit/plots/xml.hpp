#pragma once

// Checking SVG files with a real XML parser: libxml2's xmllint (libxml2-utils, installed by
// scripts/install-deps). GLib's markup parser, which the SVG tests read elements with, lets
// characters through that XML forbids.

#include "poppler.hpp"

#include <string>

namespace plots_test {

/// xmllint's complaints about `document`, empty when it is well-formed XML.
inline std::string xml_errors(const std::string& document) {
  if (!have("xmllint")) return "xmllint is not installed (libxml2-utils, scripts/install-deps)";
  const std::string path = saved(document, "plan.svg");
  const std::string out = run("xmllint --noout '" + path + "' 2>&1 && echo well-formed");
  return out == "well-formed\n" ? std::string() : out.substr(0, 2000);
}

}  // namespace plots_test
