// The service does not support NVX drivers older than version 2: at every shutdown it reads the
// version resource of the driver file on disk and, for a 1.x driver, disables itself and the
// early-launch anti-malware driver service for the next boot. The running service is not changed.
#pragma once

// 1 when the driver file is older than version 2 (whatever happened afterwards), else 0. Needs OS
// path management: without the system root it does nothing.
int CheckDriverDowngrade();
