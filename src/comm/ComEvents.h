#pragma once
// Event types of the link. An event is a callable bound to its receiver; every
// raise tests that one is assigned.
#include <cstdint>
#include <functional>

using TNotifyEvent = std::function<void(void* sender)>;
using TActiveEvent = std::function<void(bool active)>;
using TStatusEvent = std::function<void(uint8_t code)>;
using TReceiveEvent = std::function<uint8_t(const uint8_t*& buffer, uint16_t& length)>;
// Address, command (with bit 7 set), data length, data.
using TDataEvent = std::function<void(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)>;
