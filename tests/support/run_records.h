// Run records in the end-to-end tests: a record file beside the board's sandbox, the option that
// asks a program for its record, and the records read back, each one checked against the
// format's JSON Schema (docs/run-record.schema.json) by Debian's validator.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"

namespace e2e {

using nlohmann::json;

// Debian's python3-jsonschema, not whatever another jsonschema earlier in PATH would be.
constexpr char kSchemaValidator[] = "/usr/bin/jsonschema";

inline testbed::RunOptions Recorded(const std::string& path, testbed::RunOptions options = {}) {
  options.env["BM77_RECORD"] = path;
  return options;
}

// Every line of `path`, each a record that the schema accepts.
inline std::vector<json> Records(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<json> records;
  std::string command = std::string(kSchemaValidator) + " -o pretty";
  std::string line;
  for (int n = 0; std::getline(in, line); ++n) {
    records.push_back(json::parse(line));  // throws, and so fails the test, on bad JSON
    const std::string one = path + "." + std::to_string(n) + ".json";
    std::ofstream(one, std::ios::binary) << line;
    command += " -i '" + one + "'";
  }
  command += " " BM77_RECORD_SCHEMA " >&2";
  if (!records.empty()) {
    EXPECT_EQ(std::system(command.c_str()), 0) << path;
  }
  return records;
}

inline json Failure(const std::string& step, const std::string& kind) {
  return {{"step", step}, {"kind", kind}};
}

inline json Identity(const json& mac, const json& name, const json& vcom) {
  return {{"mac", mac}, {"name", name}, {"vcom", vcom}};
}
const json kUnknown = Identity(nullptr, nullptr, nullptr);

}  // namespace e2e
