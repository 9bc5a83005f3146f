// Shared by the fuzz targets: a scratch folder in memory and a quiet Qt log.
#ifndef VEXA_FUZZ_FUZZSUPPORT_H
#define VEXA_FUZZ_FUZZSUPPORT_H

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace fuzzsupport {

// Silences Qt's log (damaged input makes the library say so, every run) and
// creates the scratch folder. Call once, from LLVMFuzzerInitialize.
void init();
// A file of the scratch folder (in /dev/shm when there is one).
QString scratch(const QString& name);
// Writes the bytes to that file; returns its path.
QString writeScratch(const QString& name, const uint8_t* data, size_t size);

} // namespace fuzzsupport

#endif
