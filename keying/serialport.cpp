#include "serialport.h"

ISerialPort::~ISerialPort() = default;
