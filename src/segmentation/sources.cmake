set(VEXA_SEGMENTATION_CLASSES
  SoundRMSSlopeDetector
  RMSStepDetector)
set(VEXA_SEGMENTATION_PRIVATE_SOURCES
  detail/TimeFormat.h)
