#pragma once
#include "vellari/platform/node.h"
