// Input verification: classifies the named files and pairs RIO with TDC files.
#pragma once

// Returns 1; every failure ends the process with its fatal message.
int verify_input_files();
