// Printer: writes objects in the report line format.
#pragma once

#include "objet.h"

void pprint(Objet *stream, Objet *obj);
