set(VEXA_IO_CLASSES
  SoundIDTag
  SoundReader
  SoundWriter
  SoundReaderSndfile
  SoundWriterSndfile
  SoundReaderMp3
  SoundReaderAhead
  SoundWriterBehind
  SoundWriterMp3
  SoundWriterMultiFile)

set(VEXA_IO_PRIVATE_SOURCES
  detail/FileNameSplitter.cpp
  detail/FileNameSplitter.h
  detail/LameApi.h
  detail/TagStore.cpp
  detail/TagStore.h)
