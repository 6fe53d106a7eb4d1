#include "messagebox.h"

IMessageBox::~IMessageBox() = default;
