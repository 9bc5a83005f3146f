set(VEXA_CORE_CLASSES
  SoundTools
  SoundDebuggableClass
  SoundRefCounted
  SoundBuffer
  SoundAlgo
  SoundAlgoComposite)

set(VEXA_CORE_PRIVATE_SOURCES
  detail/AdaptiveParallel.h
  detail/Units.h)
