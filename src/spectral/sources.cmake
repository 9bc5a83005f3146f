set(VEXA_SPECTRAL_CLASSES)
set(VEXA_SPECTRAL_PRIVATE_SOURCES
  detail/FFTA.h
  detail/FFTARadix2.h
  detail/FFTARadix2.cpp)
