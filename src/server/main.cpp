// pelmora-server: the team's monitor server and stats site.
#include "server/server.h"

int main(int argc, char** argv) { return pelmora::server::serverMain(argc, argv); }
