#pragma once
// The link's debugger output: bytes sent, answers, restarts, dropped noise. Never the console.
#include <string>

void UartTrace(const std::string& text);
