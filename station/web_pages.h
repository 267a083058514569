// The line's web page: every page drawn on the server as HTML that works without JavaScript,
// and the same figures as JSON. Pure functions of what web_data.h reads: every text that came
// from a record (names, steps, arguments, file names) is escaped here.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web_data.h"

namespace station::web {

// Text for HTML content and attribute values: & < > " ' become entities.
std::string Escape(std::string_view text);
// Text for a URL's query value: everything but letters, digits and -._~ percent-encoded.
std::string UrlEncode(std::string_view text);

std::string OverviewPage(const Summary& summary);
std::string UnitsPage(const UnitPage& page, const std::string& search, bool stuck);
std::string UnitPageHtml(Mac unit, const std::vector<UnitRun>& runs, std::size_t limit);
std::string StationPage(const std::optional<LastRun>& last);
std::string NotFoundPage(const std::string& what);

std::string SummaryJson(const Summary& summary);
std::string UnitJson(Mac unit, const std::vector<UnitRun>& runs);

// The page's own assets: it loads nothing from elsewhere.
extern const char kStyleSheet[];
extern const char kIcon[];

}  // namespace station::web
