#pragma once
// What the front end, the image operations and the image checks call of the flash driver.
#include "flash/Controller.h"
#include "flash/Erase.h"
#include "flash/Identification.h"
#include "flash/MemoryKind.h"
#include "flash/ProgramRead.h"
