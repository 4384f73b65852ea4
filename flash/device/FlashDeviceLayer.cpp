#include "flash/device/FlashDeviceLayer.h"

constinit SpiFlashDeviceLayer gSpiFlashDeviceLayer{};
