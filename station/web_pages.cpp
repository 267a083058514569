#include "web_pages.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace station::web {
namespace {

using nlohmann::json;

// The overview refreshes itself now and then; the operator's view often enough to follow the
// line (a meta refresh: no script needed).
constexpr int kOverviewRefreshSeconds = 60;
constexpr int kStationRefreshSeconds = 2;
// The Pareto chart's bars: the rest of the failure kinds are counted under one line.
constexpr std::size_t kParetoBars = 12;

std::string Percent(long part, long whole) {
  if (whole == 0) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.1f %%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string Head(const std::string& title, int refresh_seconds, const std::string& body_class) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
  if (refresh_seconds > 0) html += "<meta http-equiv=\"refresh\" content=\"" + std::to_string(refresh_seconds) + "\">";
  html += "<title>" + Escape(title) +
          " - BM77 line</title><link rel=\"stylesheet\" href=\"/static/style.css\">"
          "<link rel=\"icon\" href=\"/static/icon.svg\" type=\"image/svg+xml\"></head><body class=\"" +
          body_class +
          "\"><nav><a href=\"/\">Overview</a><a href=\"/units\">Units</a><a href=\"/station\">Station</a></nav>"
          "<main>";
  return html;
}

const char kTail[] = "</main></body></html>\n";

std::string MacLink(Mac mac) {
  const std::string text = MacText(mac);
  return "<a class=\"mac\" href=\"/unit/" + text + "\">" + text + "</a>";
}

std::string Verdict(bool passed) {
  return passed ? "<span class=\"pass\">pass</span>" : "<span class=\"fail\">fail</span>";
}

std::string Tile(const std::string& label, long today, long all) {
  return "<div class=\"tile\"><h2>" + label + "</h2><p><b class=\"today\">" + std::to_string(today) +
         "</b> today</p><p><b class=\"all\">" + std::to_string(all) + "</b> in all</p></div>";
}

std::string AlarmLine(const Alarm& alarm) {
  switch (alarm.kind) {
    case Alarm::kMacOnTwoUnits:
      return "MAC " + MacLink(alarm.units.at(0)) + " provisioned " + std::to_string(alarm.count) +
             " times: it is on more than one unit";
    case Alarm::kNameOnTwoUnits: {
      std::string units;
      for (Mac mac : alarm.units) units += (units.empty() ? "" : ", ") + MacLink(mac);
      return "Device name <q class=\"name\">" + Escape(alarm.subject) + "</q> on " +
             std::to_string(alarm.units.size()) + " units: " + units;
    }
    case Alarm::kTypedMacInBlock:
      return "MAC " + MacLink(alarm.units.at(0)) +
             " lies in a registered block but was never handed out: typed by hand";
    case Alarm::kRecordsStopped:
      return "Records stopped arriving: none for " + std::to_string(alarm.count / 60) + " h " +
             std::to_string(alarm.count % 60) + " min (the newest started " + Escape(alarm.subject) + ")";
  }
  return "";
}

std::string AlarmSection(const std::vector<Alarm>& alarms, std::size_t total) {
  if (alarms.empty()) return "<section id=\"alarms\" class=\"calm\"><h2>Alarms</h2><p>None.</p></section>";
  std::string html = "<section id=\"alarms\" class=\"alarm\"><h2>Alarms</h2><ul>";
  for (const Alarm& alarm : alarms) html += "<li>" + AlarmLine(alarm) + "</li>";
  html += "</ul>";
  if (total > alarms.size()) html += "<p>and " + std::to_string(total - alarms.size()) + " more.</p>";
  return html + "</section>";
}

std::string YieldSection(const std::vector<ToolYield>& tools) {
  std::string html =
      "<section id=\"yield\"><h2>Yield per tool</h2><table><thead><tr><th>Tool</th><th>Runs</th>"
      "<th>Failed runs</th><th>Units</th><th>First pass</th><th>Final</th></tr></thead><tbody>";
  for (const ToolYield& t : tools) {
    html += "<tr><td>" + Escape(t.tool) + "</td><td class=\"n\">" + std::to_string(t.runs) + "</td><td class=\"n\">" +
            std::to_string(t.failed_runs) + "</td><td class=\"n\">" + std::to_string(t.units) +
            "</td><td class=\"n\">" + Percent(t.first_pass, t.units) + "</td><td class=\"n\">" +
            Percent(t.final_pass, t.units) + "</td></tr>";
  }
  return html + "</tbody></table></section>";
}

struct Bar {
  std::string label;
  long count;
};

std::vector<Bar> ParetoBars(const std::vector<FailureCount>& failures) {
  std::vector<Bar> bars;
  for (std::size_t i = 0; i < failures.size(); ++i) {
    if (i < kParetoBars) {
      bars.push_back({failures[i].step + " / " + failures[i].kind, failures[i].count});
    } else if (i == kParetoBars) {
      bars.push_back({"all others", failures[i].count});
    } else {
      bars.back().count += failures[i].count;
    }
  }
  return bars;
}

// Bars of failures, most first, with the running share of all failures as a line.
std::string ParetoChart(const std::vector<FailureCount>& failures) {
  const std::vector<Bar> bars = ParetoBars(failures);
  long total = 0, most = 1;
  for (const Bar& bar : bars) {
    total += bar.count;
    most = std::max(most, bar.count);
  }
  const double left = 50, top = 20, plot_h = 180, bar_w = 48, label_h = 150;
  const double width = left * 2 + bar_w * static_cast<double>(bars.size());
  std::string svg = "<svg class=\"pareto\" role=\"img\" aria-label=\"Failures by step and kind\" width=\"" +
                    Number(width) + "\" height=\"" + Number(top + plot_h + label_h) + "\" viewBox=\"0 0 " +
                    Number(width) + " " + Number(top + plot_h + label_h) + "\" xmlns=\"http://www.w3.org/2000/svg\">";
  const double base = top + plot_h;
  svg += "<line class=\"axis\" x1=\"" + Number(left) + "\" y1=\"" + Number(base) + "\" x2=\"" + Number(width - left) +
         "\" y2=\"" + Number(base) + "\"/>";
  std::string line;
  long running = 0;
  for (std::size_t i = 0; i < bars.size(); ++i) {
    const double x = left + bar_w * static_cast<double>(i);
    const double h = plot_h * static_cast<double>(bars[i].count) / static_cast<double>(most);
    const double middle = x + bar_w / 2;
    running += bars[i].count;
    const double share_y = base - plot_h * static_cast<double>(running) / static_cast<double>(total);
    svg += "<rect class=\"bar\" x=\"" + Number(x + 6) + "\" y=\"" + Number(base - h) + "\" width=\"" +
           Number(bar_w - 12) + "\" height=\"" + Number(h) + "\"><title>" + Escape(bars[i].label) + ": " +
           std::to_string(bars[i].count) + "</title></rect>";
    svg += "<text class=\"count\" x=\"" + Number(middle) + "\" y=\"" + Number(base - h - 4) + "\">" +
           std::to_string(bars[i].count) + "</text>";
    svg += "<text class=\"label\" transform=\"translate(" + Number(middle) + " " + Number(base + 12) +
           ") rotate(-40)\">" + Escape(bars[i].label) + "</text>";
    line += Number(middle) + "," + Number(share_y) + " ";
  }
  svg += "<polyline class=\"share\" points=\"" + line + "\"/>";
  svg += "<text class=\"scale\" x=\"" + Number(width - left + 4) + "\" y=\"" + Number(top + 4) + "\">100 %</text>";
  svg += "<text class=\"scale\" x=\"" + Number(width - left + 4) + "\" y=\"" + Number(base) + "\">0 %</text>";
  return svg + "</svg>";
}

std::string FailureSection(const std::vector<FailureCount>& failures) {
  std::string html = "<section id=\"failures\"><h2>Failures by step and kind</h2>";
  if (failures.empty()) return html + "<p>No failed step.</p></section>";
  return html + ParetoChart(failures) + "</section>";
}

std::string BlockSection(const std::vector<BlockUse>& blocks) {
  std::string html =
      "<section id=\"blocks\"><h2>MAC blocks</h2><table><thead><tr><th>First</th><th>Last</th><th>Used</th>"
      "<th>Left</th><th>Handed out, last 7 days</th><th>Runs out</th></tr></thead><tbody>";
  for (const BlockUse& b : blocks) {
    const std::string out = b.left == 0 ? "used up" : b.runs_out ? *b.runs_out : "not at this rate";
    html += "<tr><td class=\"mac\">" + MacText(b.first) + "</td><td class=\"mac\">" + MacText(b.last) +
            "</td><td class=\"n\">" + std::to_string(b.used) + "</td><td class=\"n\">" + std::to_string(b.left) +
            "</td><td class=\"n\">" + std::to_string(b.handed_week) + "</td><td>" + out + "</td></tr>";
  }
  if (blocks.empty()) html += "<tr><td colspan=\"6\">No block registered.</td></tr>";
  return html + "</tbody></table></section>";
}

std::string LastRunLine(const LastRun& last) {
  std::string html = "<p id=\"last\">Last run: " + Escape(last.tool) + " " + Verdict(last.passed) + " (" +
                     Escape(last.outcome) + ", status " + std::to_string(last.status) + ") started " +
                     Escape(last.start);
  if (last.unit) html += " on " + MacLink(*last.unit);
  return html + "</p>";
}

std::string Identity(const json& identity) {
  if (!identity.is_object()) return "<span class=\"none\">not read</span>";
  std::string html;
  for (const char* key : {"mac", "name", "vcom"}) {
    const auto value = identity.find(key);
    const std::string text = value == identity.end() || value->is_null() ? "-"
                             : value->is_string()                         ? value->get<std::string>()
                                                                          : value->dump();
    html += "<span class=\"" + std::string(key) + "\">" + Escape(text) + "</span> ";
  }
  return html;
}

std::string Failures(const json& record) {
  const auto failures = record.find("failures");
  if (failures == record.end() || !failures->is_array() || failures->empty()) return "-";
  std::string html = "<ul class=\"failures\">";
  for (const json& failure : *failures) {
    html += "<li>" + Escape(failure.value("step", "")) + " <i>" + Escape(failure.value("kind", "")) + "</i></li>";
  }
  return html + "</ul>";
}

std::string Firmware(const json& record) {
  const auto firmware = record.find("firmware");
  if (firmware == record.end() || !firmware->is_object()) return "-";
  std::string html = "image " + Escape(firmware->value("crc32", "")) + " (" +
                     std::to_string(firmware->value("size", 0LL)) + " bytes)";
  const auto banks = firmware->find("banks");
  if (banks != firmware->end() && banks->is_array()) {
    html += "<br>banks";
    for (const json& bank : *banks) html += " " + Escape(bank.value("crc", ""));
  }
  return html;
}

std::string Arguments(const json& record) {
  const auto args = record.find("args");
  if (args == record.end() || !args->is_array()) return "";
  std::string html;
  for (const json& arg : *args) html += " <code>" + Escape(arg.is_string() ? arg.get<std::string>() : arg.dump()) + "</code>";
  return html;
}

// The stored record as JSON; null when the text is not JSON (a ledger written by another hand).
json ParsedRecord(const std::string& text) {
  json record = json::parse(text, nullptr, false);
  return record.is_discarded() ? json(nullptr) : record;
}

std::string RunRow(const UnitRun& run) {
  const json record = ParsedRecord(run.record);
  const bool parsed = record.is_object();
  const json* identity = parsed && record.contains("identity") ? &record["identity"] : nullptr;
  const json none;
  return "<tr class=\"" + std::string(Passed(run.tool, run.status) ? "passed" : "failed") + "\"><td>" +
         Escape(run.start) + "</td><td>" + Escape(run.tool) + (parsed ? Arguments(record) : "") + "</td><td>" +
         Verdict(Passed(run.tool, run.status)) + " " + std::to_string(run.status) + " " + Escape(run.outcome) +
         "</td><td class=\"n\">" + Number(run.seconds) + "</td><td>" +
         Identity(identity != nullptr ? identity->value("before", none) : none) + "</td><td>" +
         Identity(identity != nullptr ? identity->value("after", none) : none) + "</td><td>" +
         (parsed ? Failures(record) : "-") + "</td><td class=\"crc\">" + (parsed ? Firmware(record) : "-") +
         "</td></tr>";
}

const char* AlarmKind(Alarm::Kind kind) {
  switch (kind) {
    case Alarm::kMacOnTwoUnits: return "mac-on-two-units";
    case Alarm::kNameOnTwoUnits: return "name-on-two-units";
    case Alarm::kTypedMacInBlock: return "typed-mac-in-block";
    case Alarm::kRecordsStopped: return "records-stopped";
  }
  return "";
}

json LastJson(const std::optional<LastRun>& last) {
  if (!last) return nullptr;
  return {{"start", last->start},   {"tool", last->tool},     {"status", last->status},
          {"outcome", last->outcome}, {"passed", last->passed},
          {"unit", last->unit ? json(MacText(*last->unit)) : json(nullptr)}, {"name", last->name}};
}

// Text from records is valid UTF-8 (the import parsed it), but a ledger may be written by
// anyone: a byte that is not UTF-8 becomes U+FFFD rather than failing the page.
std::string Dump(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

}  // namespace

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UrlEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::string OverviewPage(const Summary& s) {
  std::string html = Head("Overview", kOverviewRefreshSeconds, "overview");
  html += "<h1>Line overview <small>" + s.today + " (UTC)</small></h1><div class=\"tiles\">" +
          Tile("Runs", s.runs_today, s.runs_all) + Tile("Units", s.units_today, s.units_all) + "</div>";
  html += "<p id=\"stuck\"><a href=\"/units?stuck=1\">" + std::to_string(s.units_stuck) +
          " units stuck</a>: their last run failed.</p>";
  if (s.runs_without_unit > 0) html += "<p>" + std::to_string(s.runs_without_unit) + " runs without a unit.</p>";
  if (s.last) html += LastRunLine(*s.last);
  html += AlarmSection(s.alarms, s.alarms_total) + YieldSection(s.tools) + FailureSection(s.failures) + BlockSection(s.blocks);
  return html + kTail;
}

std::string UnitsPage(const UnitPage& page, const std::string& search, bool stuck) {
  std::string html = Head("Units", 0, "units");
  html += std::string("<h1>") + (stuck ? "Units stuck: their last run failed" : "Units") +
          "</h1><form method=\"get\" action=\"/units\"><label>MAC or name "
          "<input type=\"search\" name=\"q\" value=\"" +
          Escape(search) + "\"></label> <label><input type=\"checkbox\" name=\"stuck\" value=\"1\"" +
          (stuck ? " checked" : "") + "> stuck only</label> <button type=\"submit\">Search</button></form>";
  html += "<table id=\"unit-list\"><thead><tr><th>MAC</th><th>Name</th><th>Runs</th><th>Last run</th>"
          "<th>Tool</th><th>Result</th></tr></thead><tbody>";
  for (const UnitLine& unit : page.units) {
    html += "<tr><td>" + MacLink(unit.mac) + "</td><td class=\"name\">" + Escape(unit.name) + "</td><td class=\"n\">" +
            std::to_string(unit.runs) + "</td><td>" + Escape(unit.last_start) + "</td><td>" + Escape(unit.last_tool) +
            "</td><td>" + Verdict(unit.last_passed) + " " + Escape(unit.last_outcome) + "</td></tr>";
  }
  if (page.units.empty()) html += "<tr><td colspan=\"6\">No unit found.</td></tr>";
  html += "</tbody></table>";
  if (page.more_after) {
    html += "<p><a id=\"next\" href=\"/units?q=" + UrlEncode(search) + (stuck ? "&amp;stuck=1" : "") +
            "&amp;after=" + MacText(*page.more_after) + "\">Next page</a></p>";
  }
  return html + kTail;
}

std::string UnitPageHtml(Mac unit, const std::vector<UnitRun>& runs, std::size_t limit) {
  std::string html = Head(MacText(unit), 0, "unit");
  html += "<h1>Unit <span class=\"mac\">" + MacText(unit) + "</span></h1><p>" + std::to_string(runs.size()) +
          " runs, in order of start" + (runs.size() >= limit ? " (the first " + std::to_string(limit) + " only)" : "") +
          ". <a href=\"/api/unit/" + MacText(unit) + "\">As JSON</a></p>";
  html += "<table id=\"runs\"><thead><tr><th>Start</th><th>Tool</th><th>Result</th><th>Seconds</th>"
          "<th>Identity before</th><th>Identity after</th><th>Failures</th><th>Firmware CRCs</th></tr></thead><tbody>";
  for (const UnitRun& run : runs) {
    try {
      html += RunRow(run);
    } catch (const nlohmann::json::exception&) {
      html += "<tr class=\"failed\"><td>" + Escape(run.start) + "</td><td>" + Escape(run.tool) +
              "</td><td colspan=\"6\">record not readable</td></tr>";
    }
  }
  return html + "</tbody></table>" + kTail;
}

std::string StationPage(const std::optional<LastRun>& last) {
  const std::string state = !last ? "none" : last->passed ? "pass" : "fail";
  std::string html = Head("Station", kStationRefreshSeconds, "station " + state);
  html += "<div id=\"result\" class=\"result " + state + "\">";
  if (!last) return html + "<p class=\"word\">No run yet</p></div>" + kTail;
  html += "<p class=\"word\">" + std::string(last->passed ? "PASS" : "FAIL") + "</p>";
  html += "<p class=\"unit\">" + (last->unit ? MacText(*last->unit) : std::string("no unit")) + " <span class=\"name\">" +
          Escape(last->name) + "</span></p>";
  html += "<p class=\"what\">" + Escape(last->tool) + ": " + Escape(last->outcome) + " (status " +
          std::to_string(last->status) + "), started " + Escape(last->start) + "</p>";
  return html + "</div>" + kTail;
}

std::string NotFoundPage(const std::string& what) {
  return Head("Not found", 0, "missing") + "<h1>Not found</h1><p>" + Escape(what) + "</p>" + kTail;
}

std::string SummaryJson(const Summary& s) {
  json tools = json::array(), failures = json::array(), blocks = json::array(), alarms = json::array();
  for (const ToolYield& t : s.tools) {
    tools.push_back({{"tool", t.tool}, {"runs", t.runs}, {"failed_runs", t.failed_runs}, {"units", t.units},
                     {"first_pass", t.first_pass}, {"final_pass", t.final_pass}});
  }
  for (const FailureCount& f : s.failures) failures.push_back({{"step", f.step}, {"kind", f.kind}, {"count", f.count}});
  for (const BlockUse& b : s.blocks) {
    blocks.push_back({{"first", MacText(b.first)}, {"last", MacText(b.last)}, {"used", b.used}, {"left", b.left},
                      {"handed_last_7_days", b.handed_week},
                      {"runs_out", b.runs_out ? json(*b.runs_out) : json(nullptr)}});
  }
  for (const Alarm& a : s.alarms) {
    json units = json::array();
    for (Mac mac : a.units) units.push_back(MacText(mac));
    alarms.push_back({{"kind", AlarmKind(a.kind)}, {"subject", a.subject}, {"units", units}, {"count", a.count}});
  }
  const json summary = {{"today", s.today},
                        {"runs", {{"today", s.runs_today}, {"all", s.runs_all}, {"without_unit", s.runs_without_unit}}},
                        {"units", {{"today", s.units_today}, {"all", s.units_all}, {"stuck", s.units_stuck}}},
                        {"tools", tools},
                        {"failures", failures},
                        {"blocks", blocks},
                        {"alarms", alarms},
                        {"alarms_total", s.alarms_total},
                        {"last", LastJson(s.last)}};
  return Dump(summary) + "\n";
}

std::string UnitJson(Mac unit, const std::vector<UnitRun>& runs) {
  json list = json::array();
  for (const UnitRun& run : runs) {
    list.push_back({{"start", run.start}, {"tool", run.tool}, {"status", run.status}, {"outcome", run.outcome},
                    {"passed", Passed(run.tool, run.status)}, {"seconds", run.seconds},
                    {"record", ParsedRecord(run.record)}});
  }
  return Dump({{"mac", MacText(unit)}, {"runs", list}}) + "\n";
}

}  // namespace station::web
