// Line format: the keyword table of line codes and the predicates on lines.
#pragma once

void keywords_init();
void keywords_release();
