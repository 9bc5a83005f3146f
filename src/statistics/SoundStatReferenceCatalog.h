// A list of reference spectra read from one JSON file (text when the name
// ends with ".json", Qt binary JSON otherwise) whose root is an array of
// reference objects, and the choice of the reference that fits a recording.
#ifndef VEXA_SOUNDSTATREFERENCECATALOG_H
#define VEXA_SOUNDSTATREFERENCECATALOG_H

#include "SoundStatFile.h"
#include "SoundStatReference.h"
#include "vexa_export.h"

#include <QString>
#include <QStringList>

#include <vector>

class VEXA_EXPORT SoundStatReferenceCatalog {
public:
    SoundStatReferenceCatalog();
    SoundStatReferenceCatalog(const SoundStatReferenceCatalog& other);
    SoundStatReferenceCatalog& operator=(const SoundStatReferenceCatalog& other);
    ~SoundStatReferenceCatalog();

    // Appends the file's references (the catalog is not cleared). False when
    // the file cannot be read, its root array is empty, or an element is not
    // an object (the references before it stay). A reference whose object
    // is incomplete is appended as far as it was read.
    bool readJSonFile(QString fileName);

    bool isEmpty() const { return mReferences.empty(); }
    const std::vector<SoundStatReference>& getReferenceList() const { return mReferences; }
    // All names, sorted (case-sensitive), duplicates kept.
    QStringList getNameList();
    // The first reference of that exact name, or an empty reference.
    SoundStatReference getReference(const QString& name);
    // Among the references of the file's version, the one whose frequencies
    // are nearest (Euclidean distance over the common length) to the file's
    // split frequencies; the first one on ties; an empty reference when none
    // has the version.
    SoundStatReference getNearestReference(const SoundStatFile& file);

private:
    std::vector<SoundStatReference> mReferences;
};

#endif
