#pragma once
// The client's own configuration, ../client.cfg: user name, team, machine id.

void readClientIdentity();
