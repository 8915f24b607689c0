#pragma once

namespace pelmora {
// The client's own configuration, ../client.cfg: user name, team, machine id.

void readClientIdentity();

} // namespace pelmora
