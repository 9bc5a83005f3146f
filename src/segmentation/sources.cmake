set(VEXA_SEGMENTATION_CLASSES
  SoundRMSSlopeDetector
  RMSStepDetector
  SoundTrackFinder)
set(VEXA_SEGMENTATION_PRIVATE_SOURCES
  detail/TrackAnalysis.cpp
  detail/TrackAnalysis.h)
