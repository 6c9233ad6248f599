// Picture work for filing and for the screen, in one include for the callers that use
// several parts of it. Each part says in its own header what it keeps and on which thread
// it may run:
//   SNP_JpegCodec.h    JPEG decoding (full size or reduced in the DCT), encoding,
//                      re-encoding, and the picture scaled down with its EXIF data;
//   SNP_DecodedJpeg.h  a picture decoded once into its planes, for both the screen and the
//                      re-encoding;
//   SNP_FrameDecoder.h live-view frames decoded for the screen;
//   SNP_Composite.h    the composite of a photo with the event frame;
//   SNP_JpegExif.h     EXIF blocks read and written without touching pixels;
//   SNP_AtomicFile.h   files placed on disk whole, never over a filed picture.
// All of it is in the namespace SNP_ImagePipeline.
#pragma once

#include "SNP_AtomicFile.h"
#include "SNP_Composite.h"
#include "SNP_DecodedJpeg.h"
#include "SNP_FrameDecoder.h"
#include "SNP_JpegCodec.h"
#include "SNP_JpegExif.h"
