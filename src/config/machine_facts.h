#pragma once

namespace pelmora {
// Facts about the machine, gathered once at start-up: computer name, the
// processor's vendor, name and clock, and total physical memory.

void readComputerName();
// Changes nothing at all on a processor without CPUID.
void readProcessorFacts();

} // namespace pelmora
