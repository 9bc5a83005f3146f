set(VEXA_STATISTICS_CLASSES
  SoundAlgoStats
  SoundStatFile
  SoundStatReference
  SoundStatReferenceCatalog)
set(VEXA_STATISTICS_PRIVATE_SOURCES
  detail/JsonDocumentFile.h
  detail/JsonDocumentFile.cpp)
