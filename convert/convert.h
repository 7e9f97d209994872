// Transitional: the C types now live in the public header.
#pragma once
#include "tolvek/tolvek.h"
