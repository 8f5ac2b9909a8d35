// Small system helpers of the tool runner and the driver.
#pragma once

// Heap copy of `text`; "FATAL ERROR on malloc" and status 7 when memory runs out.
char *sys_strdup(const char *text);
