#include "fpgasim.h"

class FpgaSimPrivate {};

FpgaSimConfig FpgaSimConfig::fromEnvironment() { return FpgaSimConfig(); }
QByteArray FpgaSimConfig::defaultSerial(int headbox) { return QByteArray("SIM-0000/00-") + QByteArray::number(headbox); }
FpgaSim *FpgaSim::instance() { static FpgaSim sim; return &sim; }
FpgaSim::FpgaSim() : d(new FpgaSimPrivate) {}
FpgaSim::~FpgaSim() { delete d; }
void FpgaSim::reset(const FpgaSimConfig &) {}
void FpgaSim::reset() {}
FpgaSimConfig FpgaSim::config() const { return FpgaSimConfig(); }
uint64_t FpgaSim::read(int) { return 0; }
void FpgaSim::write(int, uint64_t) {}
QVector<FpgaSimWrite> FpgaSim::writes() const { return {}; }
QVector<uint64_t> FpgaSim::writesTo(int) const { return {}; }
void FpgaSim::clearWrites() {}
uint64_t FpgaSim::readCount(int) const { return 0; }
uint64_t FpgaSim::register15() const { return 0; }
int FpgaSim::readChannel() const { return 0; }
int FpgaSim::writeChannel() const { return 0; }
bool FpgaSim::syncOn() const { return false; }
bool FpgaSim::displayOn() const { return true; }
QByteArray FpgaSim::sentOnChannel(int) const { return {}; }
QByteArray FpgaSim::receivedBy(int) const { return {}; }
int FpgaSim::headboxChannel(int) const { return 0; }
bool FpgaSim::streaming(int) const { return false; }
uint64_t FpgaSim::streamedWords(int) const { return 0; }
uint64_t FpgaSim::fifoWords(int) const { return 0; }
uint64_t FpgaSim::lostWords(int) const { return 0; }
uint64_t FpgaSim::emptyReads() const { return 0; }
void FpgaSim::inject(int, const QByteArray &) {}
void FpgaSim::forceRead(int, uint64_t) {}
void FpgaSim::releaseRead(int) {}
