#include "flash/service/FlashServiceState.h"

constinit FlashServiceState gFlashService{};
