#pragma once

namespace pelmora {
// One sample of the monitor's state, the same for every test, fuzz target
// and benchmark that needs a unit under way: machine LABPC7 (CPU# 1,
// GenuineIntel " Example CPU 2.00GHz" at 2400 MHz, 3 GiB), user01 of team
// 12345 (machine id 7), unit p1234_sample (WU# 2, 45%, core coreX, 150
// points, 100 frames, 12.5 minutes a frame, downloaded March 3, due March
// 17), the monitor server at 127.0.0.1, service FAHClient. Tests change the
// fields their cases are about.
void fillSampleState();

} // namespace pelmora
