// Media information: the printer's media report and the media override that
// it drives (builder 13, BuildMediaOverrides, declared in builders.h).
#ifndef PRNMODEL_MEDIA_H
#define PRNMODEL_MEDIA_H

#include <windows.h>

#include "prnmodel.h"

// Bytes of the MediaInfo record and of the override's seven pairs.
const DWORD MediaInfoSize = 28;
const DWORD MediaOverrideSize = 56;

// "No media determined".
const LONG MediaNone = 999;

// Flag bits of MediaInfo.flags that the override reads.
const DWORD MEDIA_FLAG_NO_PROPOSAL = 0x02;
const DWORD MEDIA_FLAG_PLAIN_PAPER = 0x10;
const DWORD MEDIA_FLAG_SENSOR_HIGH = 0x40;
const DWORD MEDIA_FLAG_SENSOR_FULL = 0x80;
const DWORD MEDIA_FLAG_ALL_SATURATED = 0x80000000;

// The paper class (1..4) of the report bytes b0..b5; NULL gives class 1.
LONG ClassifyMedia(const BYTE* bytes);

// Reads "QmxSLM_CMS" of the printer and decodes it into info: 1 or 0.
LONG ReadPrinterMediaInfo(HANDLE printer, DWORD context, MediaInfo* info);

// The media of a class on a paper size, or MediaNone.
LONG MediaForClass(LONG mediaClass, LONG paperSize);

// The value of setting 8 that goes with a media, or 0.
LONG Setting8ForMedia(LONG media);

// Driver database checks that a proposed media must pass: 1 or 0.
LONG IsMediaListed(const DataBaseRequest* request, LONG media);
LONG IsMediaAllowed(const DataBaseRequest* request, LONG media);
LONG MediaCheckPairsEqual(const DataBaseRequest* request);

#endif // PRNMODEL_MEDIA_H
