// The page's server where the build has no cpp-httplib: --http is refused
// before any port is touched, with the reason.
#include "tools/gang/gang.h"

bool StartBoardServer(Gang*, std::string* problem) {
  *problem = "this korvel-gang was built without cpp-httplib: it has no --http";
  return false;
}

std::string BoardServerUrl(const BoardServer*) {
  return "";
}

void PublishBoardJson(BoardServer*, const std::string&) {}

void StopBoardServer(Gang* gang) {
  gang->server.reset();
}
