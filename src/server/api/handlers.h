// The handlers of the route table, by the file that holds them. Each
// answers one route; the table has already let the caller through.
#pragma once

#include "server/api/context.h"
#include "server/http/http_request.h"

namespace pelmora::server {

using RouteHandler = void (*)(ApiContext&, const HttpRequest&, HttpResponse&);

// pages.cpp: the dashboard's pages and their files, built into the server.
void getIndexPage(ApiContext&, const HttpRequest&, HttpResponse& res);
void getTeamPage(ApiContext&, const HttpRequest&, HttpResponse& res);
void getSignInPage(ApiContext&, const HttpRequest&, HttpResponse& res);
void getMachinePage(ApiContext&, const HttpRequest&, HttpResponse& res);
void getAsset(ApiContext&, const HttpRequest& req, HttpResponse& res);

// sign_in.cpp: the session's state, signing in and out.
void getSession(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void postSignIn(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void postSignOut(ApiContext& api, const HttpRequest& req, HttpResponse& res);

// events.cpp: the live event stream of the fleet.
void getEvents(ApiContext& api, const HttpRequest& req, HttpResponse& res);

// probes.cpp: the health check, /metrics and the store's size against its bound.
void getHealth(ApiContext&, const HttpRequest&, HttpResponse& res);
void getMetrics(ApiContext& api, const HttpRequest&, HttpResponse& res);
void getStoreSize(ApiContext& api, const HttpRequest&, HttpResponse& res);

// stats_site.cpp: the stats site's unit path, where the monitors submit units.
void getUnitSubmission(ApiContext& api, const HttpRequest& req, HttpResponse& res);

// machines.cpp
void getMachines(ApiContext& api, const HttpRequest&, HttpResponse& res);
void getMachine(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void deleteMachine(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void deleteMachineAddress(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void putMachineAddress(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void postMachineMute(ApiContext& api, const HttpRequest& req, HttpResponse& res);   // {"minutes": N}
void deleteMachineMute(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void postApproveMachine(ApiContext& api, const HttpRequest& req, HttpResponse& res);  // ID: a waiting identity's
void postApproveMachines(ApiContext& api, const HttpRequest& req, HttpResponse& res); // from an address or network
void getMachineHistory(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void getMachinePoints(ApiContext& api, const HttpRequest& req, HttpResponse& res); // its points history
void getMachineEvents(ApiContext& api, const HttpRequest& req, HttpResponse& res); // its changes of status

// commands.cpp: commands waiting for a machine's monitor to take them.
void getCommands(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void postCommand(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void deleteCommand(ApiContext& api, const HttpRequest& req, HttpResponse& res);

// units.cpp: the submitted units, their processors and the days' sums.
void getUnits(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void getCpus(ApiContext& api, const HttpRequest&, HttpResponse& res);
void getSummary(ApiContext& api, const HttpRequest& req, HttpResponse& res);

// alerts.cpp
void getAlerts(ApiContext& api, const HttpRequest& req, HttpResponse& res);

// team.cpp
void getTeam(ApiContext& api, const HttpRequest& req, HttpResponse& res);
void getTeamPoints(ApiContext& api, const HttpRequest& req, HttpResponse& res); // the fleet's or a user's points history

} // namespace pelmora::server
