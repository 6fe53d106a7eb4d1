#include "textfield.h"

ITextField::~ITextField() = default;
