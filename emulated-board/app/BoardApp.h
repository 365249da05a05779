// What the emulated board's boot application does, chosen by the host in
// fw_cfg ("opt/board/job"): the typical road of tools/road.py, or the
// boot-cost measurement of tools/boot_cost.py.
#pragma once

#include "Uefi/Base.h"

VOID RunRoad();
VOID MeasureBootCost();
