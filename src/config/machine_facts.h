#pragma once
// Facts about the machine, gathered once at start-up: computer name, the
// processor's vendor, name and clock, and total physical memory.

struct MachineFactSources;

void readComputerName();
// Changes nothing at all on a processor without CPUID.
void readProcessorFacts();

// Tests: take the facts from these sources (nullptr: the platform's own).
void useMachineFactSources(const MachineFactSources* sources);
