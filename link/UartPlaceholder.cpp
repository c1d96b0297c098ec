// UART link operations that have not landed yet: each says so when reached.
#include "front/CxException.h"
#include "link/CUartLib.h"
#include "link/PortDiscovery.h"

namespace {
[[noreturn]] void NotAvailable() { throw CxExceptionError("UART link: not available in this build", 0); }
}  // namespace

CUartLib::CUartLib() = default;
CUartLib::~CUartLib() = default;
void CUartLib::Open(const std::string&, uint32_t) { NotAvailable(); }
uint32_t CUartLib::ReadAddress(uint32_t, uint8_t) { NotAvailable(); }
void CUartLib::WriteAddress(uint32_t, uint32_t, uint8_t) { NotAvailable(); }
void CUartLib::BurnBlock(uint8_t) { NotAvailable(); }
bool CUartLib::VerifyBlock(uint8_t) { NotAvailable(); }

uint32_t FindUartPort(int32_t) { NotAvailable(); }
