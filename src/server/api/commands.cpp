// Commands for a machine's monitor: listed, queued (the admin's) and
// cancelled while still pending; the monitor takes them with its next record.
#include "protocol/monitor_protocol.h"
#include "server/api/handlers.h"
#include "server/fleet/json_shapes.h"
#include "server/api/http_answers.h"
#include "server/support/log.h"

namespace pelmora::server {
namespace {

bool knownMachine(ApiContext& api, const HttpRequest& req, HttpResponse& res, long long& id)
{
    id = std::stoll(req.matches[1].str());
    if (api.store.machineExists(id)) return true;
    fail(res, 404, "no machine " + std::to_string(id));
    return false;
}

} // namespace

void getCommands(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long id = 0;
    if (!knownMachine(api, req, res, id)) return;
    answer(res, 200, listJson("commands", api.store.commands(id, 100), commandJson));
}

// {"command": "exit" | "tray" | "restart"}
void postCommand(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    if (body.is_discarded() || !body.is_object() || !body.contains("command") || !body["command"].is_string())
        return fail(res, 400, "the body must be {\"command\": \"exit\" | \"tray\" | \"restart\"}");
    const std::string command = body["command"].get<std::string>();
    if (protocol::commandByte(command) == protocol::kNoCommand) return fail(res, 400, "unknown command (exit, tray or restart)");
    const long long id = std::stoll(req.matches[1].str());
    const std::optional<CommandRow> queued = api.store.queueCommand(id, command, "admin@" + req.remote_addr, secondsNow());
    if (!queued) return fail(res, 404, "no machine " + std::to_string(id));
    logEvent(Level::info, "command " + command + " (id " + std::to_string(queued->id) + ") queued for machine " +
                              std::to_string(id) + " by admin@" + req.remote_addr);
    answer(res, 202, commandJson(*queued));
}

// DELETE /api/machines/ID/commands[/COMMAND_ID] or /api/commands/COMMAND_ID.
void deleteCommand(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long machine = 0, commandId = 0;
    if (req.path.rfind("/api/commands/", 0) == 0) {
        commandId = std::stoll(req.matches[1].str());
    } else {
        if (!knownMachine(api, req, res, machine)) return;
        if (req.matches.size() > 2 && req.matches[2].matched) commandId = std::stoll(req.matches[2].str());
    }
    const std::optional<CommandRow> cancelled =
        api.store.cancelCommand(machine, commandId, "admin@" + req.remote_addr, secondsNow());
    if (!cancelled) return fail(res, 404, "no pending command to cancel");
    logEvent(Level::info, "command " + cancelled->command + " (id " + std::to_string(cancelled->id) +
                              ") for machine " + std::to_string(cancelled->machineId) + " cancelled by admin@" +
                              req.remote_addr);
    answer(res, 200, commandJson(*cancelled));
}

} // namespace pelmora::server
