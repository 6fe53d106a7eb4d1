#include "audiodevice.h"

IAudioDevice::~IAudioDevice() = default;
