#include "report/json_report.h"

#include <opencv2/core/version.hpp>

#include <iostream>
#include <sstream>

#include "report/console.h"

namespace {

std::ostringstream collected;
std::streambuf* savedOutput = nullptr;
nlohmann::json facts = nlohmann::json::object();

}  // namespace

void beginJsonReport() {
  setConsoleColorsEnabled(false);
  savedOutput = std::cout.rdbuf(collected.rdbuf());
}

nlohmann::json& reportFacts() {
  return facts;
}

void endJsonReport(int status) {
  std::cout.rdbuf(savedOutput);
  savedOutput = nullptr;
  nlohmann::json document = {{"schema", 1},
                             {"program", "Verasko"},
                             {"version", std::to_string(VERASKO_VERSION_MAJOR) + "." +
                                             std::to_string(VERASKO_VERSION_MINOR) + "." +
                                             std::to_string(VERASKO_VERSION_PATCH)},
                             {"library", "OpenCV " CV_VERSION}};
  document.update(facts);
  document["status"] = status;
  if (!document.contains("outcome")) document["outcome"] = "no verdict";
  nlohmann::json lines = nlohmann::json::array();
  std::istringstream text(collected.str());
  std::string line;
  std::getline(text, line);  // the opening empty line
  while (std::getline(text, line)) lines.push_back(line);
  document["report"] = lines;
  // Names are printable already; a byte that is no UTF-8 becomes U+FFFD rather than break it.
  std::cout << document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}
