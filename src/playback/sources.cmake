set(VEXA_PLAYBACK_CLASSES
  SoundAlgoDevice
  SoundPlayer
  SoundPlayerQt)
set(VEXA_PLAYBACK_PRIVATE_SOURCES
  detail/SyncAnnotations.h)
