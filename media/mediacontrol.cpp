#include "mediacontrol.h"

IMediaControl::~IMediaControl() = default;
