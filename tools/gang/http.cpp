// The board on the wall: the page and the JSON it reads, served by
// cpp-httplib from a thread of its own. Read-only: the server answers GET
// and HEAD for its four paths and nothing else, and the gang hands it a
// finished text to serve, so no request reaches the gang's own records.
#include <httplib.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/gang/gang.h"

struct BoardServer {
  httplib::Server server;
  std::thread thread;
  std::string url;
  std::mutex mutex;  // guards |json|, which the server's threads read
  std::string json = "{}";

  ~BoardServer() {
    server.stop();
    if (thread.joinable()) thread.join();
  }
};

namespace {

// What a browser may do with what it gets: nothing from anywhere else, no
// framing by another site, no guessing of types.
void AddSafetyHeaders(httplib::Response& response) {
  response.set_header("Cache-Control", "no-store");
  response.set_header("X-Content-Type-Options", "nosniff");
  response.set_header("Content-Security-Policy",
                      "default-src 'self'; frame-ancestors 'none'; base-uri 'none'");
}

void AddRoutes(BoardServer* board) {
  // Anything but a read is refused before routing.
  board->server.set_pre_routing_handler(
      [](const httplib::Request& request, httplib::Response& response) {
        if (request.method == "GET" || request.method == "HEAD") {
          return httplib::Server::HandlerResponse::Unhandled;
        }
        response.status = 405;
        response.set_header("Allow", "GET, HEAD");
        return httplib::Server::HandlerResponse::Handled;
      });
  board->server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    AddSafetyHeaders(response);
    response.set_content(BoardPageHtml(), "text/html; charset=utf-8");
  });
  board->server.Get("/board.css", [](const httplib::Request&, httplib::Response& response) {
    AddSafetyHeaders(response);
    response.set_content(BoardPageStyle(), "text/css; charset=utf-8");
  });
  board->server.Get("/board.js", [](const httplib::Request&, httplib::Response& response) {
    AddSafetyHeaders(response);
    response.set_content(BoardPageScript(), "text/javascript; charset=utf-8");
  });
  board->server.Get("/board.json", [board](const httplib::Request&, httplib::Response& response) {
    AddSafetyHeaders(response);
    std::lock_guard<std::mutex> lock(board->mutex);
    response.set_content(board->json, "application/json");
  });
}

}  // namespace

bool StartBoardServer(Gang* gang, std::string* problem) {
  std::string host;
  int port = 0;
  if (!ParseHttpAddress(gang->options.http, &host, &port, problem)) return false;
  auto board = std::make_shared<BoardServer>();
  // Requests are small: a read has no body.
  board->server.set_payload_max_length(4096);
  AddRoutes(board.get());
  if (port == 0) {
    port = board->server.bind_to_any_port(host);
  } else if (!board->server.bind_to_port(host, port)) {
    port = -1;
  }
  if (port <= 0) {
    *problem = "cannot serve the board page on " + AsciiPrintable(gang->options.http) +
               " (address taken, or not this machine's)";
    return false;
  }
  const bool ipv6 = host.find(':') != std::string::npos;
  board->url = "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
  BoardServer* raw = board.get();
  board->thread = std::thread([raw] { raw->server.listen_after_bind(); });
  gang->server = std::move(board);
  return true;
}

std::string BoardServerUrl(const BoardServer* server) {
  return server->url;
}

void PublishBoardJson(BoardServer* server, const std::string& json) {
  std::lock_guard<std::mutex> lock(server->mutex);
  server->json = json;
}

void StopBoardServer(Gang* gang) {
  gang->server.reset();  // stops it and waits for its thread
}
