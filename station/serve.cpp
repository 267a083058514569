#include "serve.h"

#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "commands.h"
#include "messages.h"
#include "web_data.h"
#include "web_messages.h"
#include "web_pages.h"

namespace station::web {
namespace {

// A unit page lists at most this many runs (a unit run thousands of times stays one page).
constexpr std::size_t kUnitRunsMax = 1000;
constexpr std::size_t kUnitsPerPage = 50;
constexpr char kHtml[] = "text/html; charset=utf-8";
constexpr char kJson[] = "application/json";

// Nothing runs that came with the data: no script at all, styles and pictures from this server
// only, no form sent elsewhere, no framing by another site.
const httplib::Headers kSecurityHeaders = {
    {"Content-Security-Policy",
     "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; base-uri 'none'; "
     "frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// One store connection per request at a time (a store is not shared between threads); they
// are kept for the next request. One that failed is dropped.
class StorePool {
 public:
  explicit StorePool(std::string where) : where_(std::move(where)) {}
  template <typename Work>
  auto With(Work work) {
    std::unique_ptr<Store> store = Take();
    auto result = work(*store);
    Give(std::move(store));
    return result;
  }

 private:
  std::unique_ptr<Store> Take() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<Store> store = std::move(free_.back());
        free_.pop_back();
        return store;
      }
    }
    return OpenForReading(where_);
  }
  void Give(std::unique_ptr<Store> store) {
    const std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(std::move(store));
  }

  std::string where_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Store>> free_;
};

void Html(httplib::Response& res, const std::string& body, int status = 200) {
  res.status = status;
  res.set_content(body, kHtml);
}

void Json(httplib::Response& res, const std::string& body, int status = 200) {
  res.status = status;
  res.set_content(body, kJson);
}

std::optional<Mac> MacParam(const httplib::Request& req) { return ParseMac(req.matches[1].str()); }

}  // namespace

struct WebServer::Site {
  explicit Site(const std::string& where) : pool(where) {
    pool.With([this](Store& store) {
      tally.Refresh(store);
      return 0;
    });
    Route();
  }

  Summary FreshSummary() {
    return pool.With([this](Store& store) {
      tally.Refresh(store);
      return tally.Summarize(store, NowMs());
    });
  }

  void Refresh() {
    pool.With([this](Store& store) {
      tally.Refresh(store);
      return 0;
    });
  }

  std::vector<UnitRun> Runs(Mac unit) {
    return pool.With([unit](Store& store) { return UnitRuns(store, unit, kUnitRunsMax); });
  }

  void Route() {
    server.set_default_headers(kSecurityHeaders);
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
      if (req.method == "GET" || req.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
      res.set_content(msg::kMethodNotAllowed, "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
      if (res.status == 404 && res.body.empty()) Html(res, NotFoundPage(msg::kNoPage), 404);
    });
    server.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr error) {
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        std::fprintf(stderr, msg::kPageFailed, req.method.c_str(), req.path.c_str(), e.what());
      } catch (...) {
        std::fprintf(stderr, msg::kPageFailed, req.method.c_str(), req.path.c_str(), "?");
      }
      res.status = 500;
      res.set_content(msg::kInternalError, "text/plain; charset=utf-8");
    });
    server.Get("/", [this](const httplib::Request&, httplib::Response& res) { Html(res, OverviewPage(FreshSummary())); });
    server.Get("/api/summary", [this](const httplib::Request&, httplib::Response& res) {
      Json(res, SummaryJson(FreshSummary()));
    });
    server.Get("/units", [this](const httplib::Request& req, httplib::Response& res) {
      Refresh();
      const std::string search = req.get_param_value("q");
      const bool stuck = req.get_param_value("stuck") == "1";
      const std::optional<Mac> after = ParseMac(req.get_param_value("after"));
      Html(res, UnitsPage(tally.Units(search, stuck, after, kUnitsPerPage), search, stuck));
    });
    server.Get("/station", [this](const httplib::Request&, httplib::Response& res) {
      Refresh();
      Html(res, StationPage(tally.Last()));
    });
    server.Get(R"(/unit/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
      const std::optional<Mac> unit = MacParam(req);
      const std::vector<UnitRun> runs = unit ? Runs(*unit) : std::vector<UnitRun>{};
      if (runs.empty()) return Html(res, NotFoundPage(msg::kNoUnit), 404);
      Html(res, UnitPageHtml(*unit, runs, kUnitRunsMax));
    });
    server.Get(R"(/api/unit/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
      const std::optional<Mac> unit = MacParam(req);
      const std::vector<UnitRun> runs = unit ? Runs(*unit) : std::vector<UnitRun>{};
      if (runs.empty()) return Json(res, "{\"error\":\"no runs of this MAC\"}\n", 404);
      Json(res, UnitJson(*unit, runs));
    });
    server.Get("/static/style.css", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(kStyleSheet, "text/css; charset=utf-8");
    });
    server.Get("/static/icon.svg", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(kIcon, "image/svg+xml");
    });
  }

  StorePool pool;
  Tally tally;
  httplib::Server server;
};

WebServer::WebServer(const std::string& where) : site_(std::make_unique<Site>(where)) {}
WebServer::~WebServer() = default;

int WebServer::Bind(const std::string& host, int port) {
  if (port == 0) return site_->server.bind_to_any_port(host);
  return site_->server.bind_to_port(host, port) ? port : -1;
}

void WebServer::Run() { site_->server.listen_after_bind(); }
void WebServer::Stop() { site_->server.stop(); }

std::optional<Listen> ParseServeArgs(const std::vector<std::string>& args) {
  Listen listen;
  if (args.empty()) return listen;
  if (args.size() != 2 || args[0] != "--listen") return std::nullopt;
  const std::string& address = args[1];
  const std::size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == address.size() || address.size() - colon > 6) {
    return std::nullopt;
  }
  int port = 0;
  for (std::size_t i = colon + 1; i < address.size(); ++i) {
    if (address[i] < '0' || address[i] > '9') return std::nullopt;
    port = port * 10 + (address[i] - '0');
  }
  if (port > 65535) return std::nullopt;
  std::string host = address.substr(0, colon);
  // [::1]:8077 for an IPv6 address.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  listen.host = host;
  listen.port = port;
  return listen;
}

int Serve(const std::string& where, const Listen& listen) {
  // SIGINT and SIGTERM are taken by one thread that stops the server: the server's own threads,
  // started after this, inherit the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  try {
    WebServer server(where);
    const int port = server.Bind(listen.host, listen.port);
    if (port < 0) {
      std::fprintf(stderr, msg::kCannotListen, listen.host.c_str(), listen.port);
      return kRefused;
    }
    const bool v6 = listen.host.find(':') != std::string::npos;
    std::printf(msg::kServing, (v6 ? "[" + listen.host + "]" : listen.host).c_str(), port);
    std::fflush(stdout);
    std::thread stopper([&server, stop_signals] {
      int signal = 0;
      sigwait(&stop_signals, &signal);
      server.Stop();
    });
    server.Run();
    // Run ends only through Stop (or a failed listen): wake the stopper if it still waits.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return kDone;
  } catch (const StoreError& error) {
    std::fprintf(stderr, ::station::msg::kStoreFailed, error.what());
    return kStoreFailed;
  }
}

}  // namespace station::web
