// The page's style sheet and icon, served by the program itself: the page loads nothing from
// elsewhere, and the Content-Security-Policy allows nothing from elsewhere.
#include "web_pages.h"

namespace station::web {

const char kStyleSheet[] = R"css(
body { font: 15px/1.4 system-ui, sans-serif; margin: 0; color: #1b1f24; background: #f6f7f9; }
nav { background: #1b1f24; padding: 0.5em 1em; }
nav a { color: #fff; margin-right: 1.5em; text-decoration: none; font-weight: 600; }
main { padding: 1em 1.5em; }
h1 small { font-weight: normal; color: #5a6270; font-size: 0.6em; }
section { background: #fff; border: 1px solid #d8dce2; border-radius: 6px; padding: 0.5em 1em 1em;
          margin: 1em 0; }
table { border-collapse: collapse; }
th, td { padding: 0.25em 0.75em; border-bottom: 1px solid #e3e6ea; text-align: left; vertical-align: top; }
td.n { text-align: right; font-variant-numeric: tabular-nums; }
.mac, code, .crc { font-family: ui-monospace, monospace; }
.tiles { display: flex; gap: 1em; }
.tile { background: #fff; border: 1px solid #d8dce2; border-radius: 6px; padding: 0.25em 1.5em; }
.tile b { font-size: 1.8em; }
.pass { color: #127a2a; font-weight: 600; }
.fail { color: #b3161b; font-weight: 600; }
#alarms.alarm { border-color: #b3161b; background: #fff1f1; }
#alarms.calm { border-color: #127a2a; }
tr.failed td { background: #fff6f6; }
ul.failures { margin: 0; padding-left: 1em; }
svg.pareto .bar { fill: #c0392b; }
svg.pareto .share { fill: none; stroke: #1b1f24; stroke-width: 2; }
svg.pareto .axis { stroke: #5a6270; }
svg.pareto text { font-size: 12px; fill: #1b1f24; }
svg.pareto .count { text-anchor: middle; }
svg.pareto .label { text-anchor: end; }
body.station { min-height: 100vh; }
body.station.pass { background: #127a2a; }
body.station.fail { background: #b3161b; }
body.station.none { background: #5a6270; }
.result { color: #fff; text-align: center; padding-top: 8vh; }
.result .word { font-size: 22vmin; font-weight: 800; margin: 0; letter-spacing: 0.05em; }
.result .unit { font-size: 6vmin; margin: 0.2em 0; font-family: ui-monospace, monospace; }
.result .what { font-size: 3vmin; }
)css";

const char kIcon[] =
    R"svg(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16"><rect width="16" height="16" rx="3" fill="#127a2a"/><path d="M4 8l3 3 5-6" stroke="#fff" stroke-width="2" fill="none"/></svg>)svg";

}  // namespace station::web
