// The BM77 module's flash, answered only in the firmware-update boot mode: four framed commands
// (identify, erase, select a bank, write) and the burst transfer that streams a firmware image
// into the flash bank by bank.
//
// A bank of up to 64 KiB goes out raw after the burst start "<f" 'S' and its 24-bit byte
// count: blocks of 256 bytes as they are (no doubled 0x3C, no frame CRC), then the bank end,
// the CRC of the bank's bytes and "<Z". The module answers every full block with a resume
// reply "<" 0x88 and the bank end with the finish reply "<3". The host lets at most three full
// blocks of a bank go unconfirmed when it sends the next one.
//
// Every function prints the line of the step that failed and returns non-zero; nothing is
// retried. One update at a time: the burst counters are process-wide.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bm77 {

constexpr uint8_t kCmdFlashInit = 0x50;        // 'P': answers the flash ID
constexpr uint8_t kCmdFlashErase = 0x51;       // 'Q': erases the whole flash, then answers
constexpr uint8_t kCmdFlashSwitchBank = 0x63;  // 'c': one byte, the bank to program
constexpr uint8_t kCmdFlashWrite = 0x45;       // 'E'
constexpr uint8_t kBurstStartCommand = 0x53;   // 'S', after "<f"
constexpr uint8_t kResumeStatus = 0x88;        // "<" 0x88: one full block received

constexpr size_t kFlashBlockSize = 256;
constexpr uint32_t kFlashBankSize = 65536;  // 256 blocks
constexpr int kFlashBanks = 8;
constexpr uint32_t kFlashCapacity = kFlashBankSize * kFlashBanks;
// Full blocks of a bank that may still wait for their resume reply when the next one is sent.
constexpr unsigned kMaxUnconfirmedBlocks = 3;
// Pause after every block that does not end a bank: the module's time to program it.
constexpr unsigned kBlockPauseUs = 2200;
// The flash ID response is kept in a buffer of this size.
constexpr size_t kFlashIdResponseMax = 8;

// Whether an image of `size` bytes can be programmed: at least one byte, at most every bank.
bool ImageSizeFits(long long size);

}  // namespace bm77

// The framed flash commands: 0 on success; negative when the frame could not be sent or the
// acknowledgement was not "<3"; positive (the frame length sent) when the response could not
// be read.
int Flash_Init(int port);
int Flash_Erase(int port);
// `bank` 0..7; any other is refused with "Invalide Bank ID" and -1 before anything is sent.
int Flash_SwitchSBank(int port, int bank);
// `length` is used modulo 256.
int BM77_Flash_Write(int port, const uint8_t* buffer, int length);

// The burst transfer: 0, or -1 after the line of the failure.
int BM77_Flash_BurstWrite_BankStart(int port, uint32_t count);
int BM77_Flash_BurstWrite_1_Block(int port, const uint8_t* buffer, size_t length);
int BM77_Flash_BurstWrite_RecieveResume(int port);
int BM77_Flash_BurstWrite_RecieveFinish(int port);
int BM77_Flash_BurstWrite_BankEnd(int port);

// Folds `length` bytes into the running burst CRC `crc` (CRC-16-CCITT, MSB first, no final
// XOR; a bank starts from 0).
uint16_t _CalculateCRC16(uint16_t crc, const uint8_t* data, size_t length);

// Programs the whole image behind the descriptor `image`: identify, erase, then bank by bank
// from bank 0. Returns 0 and prints "OK", or -1 after the line of the step that failed (the
// flash is then left erased or partly written). An empty image is refused before anything is
// sent; one that ends before its size was sent fails; one larger than the flash fails when a
// ninth bank is refused.
int UpdateFlashCode(int port, int image);

// 0 when `name` is at least 5 characters long and ends in ".bin" (letters in either case).
int check_binfile(const char* name);
