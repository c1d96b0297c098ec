#pragma once
// Which connection the bench server uses, as its configuration program Talmer stored it.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Sends a command text (absent when nullopt) to the bench product; returns the call's status.
using BenchCommandSender = std::function<int32_t(const std::optional<std::string>&)>;

// Reads the registry values and sends the matching connection command; raises CxExceptionError.
void SelectBenchTarget(const BenchCommandSender& command);
