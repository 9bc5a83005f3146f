set(VEXA_IO_CLASSES
  SoundIDTag
  SoundReader
  SoundWriter)
