// Time keys and time-ordered insertion.
#pragma once

void time_key_init();
