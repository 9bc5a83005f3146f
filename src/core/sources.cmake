set(VEXA_CORE_CLASSES
  SoundTools
  SoundDebuggableClass
  SoundRefCounted
  SoundBuffer
  SoundAlgo
  SoundAlgoComposite)
