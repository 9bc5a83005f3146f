set(VEXA_SEGMENTATION_CLASSES
  SoundRMSSlopeDetector
  RMSStepDetector
  SoundTrackFinder)
