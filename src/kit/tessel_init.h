// The kit's one-time global initialisation: once per process, never undone.
#pragma once

void tessel_init(void);
