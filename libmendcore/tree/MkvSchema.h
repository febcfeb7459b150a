// The Matroska element schema: which element may stand under which parent,
// which must be present, which may follow one of its own kind. Ids are in
// their stored form, marker bits included.
#ifndef MENDCORE_MKVSCHEMA_H
#define MENDCORE_MKVSCHEMA_H

#include "tree/LabelNode.h"

enum MkvElementId : unsigned int {
    MKV_ID_EBML = 0x1A45DFA3,
    MKV_ID_DOCTYPE = 0x4282,
    MKV_ID_SEGMENT = 0x18538067,
    MKV_ID_SEEKHEAD = 0x114D9B74,
    MKV_ID_SEEK = 0x4DBB,
    MKV_ID_SEEKID = 0x53AB,
    MKV_ID_SEEKPOSITION = 0x53AC,
    MKV_ID_INFO = 0x1549A966,
    MKV_ID_TIMECODESCALE = 0x2AD7B1,
    MKV_ID_DURATION = 0x4489,
    MKV_ID_MUXINGAPP = 0x4D80,
    MKV_ID_WRITINGAPP = 0x5741,
    MKV_ID_TRACKS = 0x1654AE6B,
    MKV_ID_TRACKENTRY = 0xAE,
    MKV_ID_TRACKNUMBER = 0xD7,
    MKV_ID_TRACKTYPE = 0x83,
    MKV_ID_CODECID = 0x86,
    MKV_ID_VIDEO = 0xE0,
    MKV_ID_CUES = 0x1C53BB6B,
    MKV_ID_TAGS = 0x1254C367,
    MKV_ID_ATTACHMENTS = 0x1941A469,
    MKV_ID_CHAPTERS = 0x1043A770,
    MKV_ID_CLUSTER = 0x1F43B675,
    MKV_ID_TIMECODE = 0xE7,
    MKV_ID_BLOCKGROUP = 0xA0,
    MKV_ID_BLOCK = 0xA1,
    MKV_ID_BLOCKDURATION = 0x9B,
    MKV_ID_SIMPLEBLOCK = 0xA3,
    MKV_ID_VOID = 0xEC,
    MKV_ID_CRC32 = 0xBF,
};

using MkvSchemaTree = TSchemaTree<unsigned int>;

// The schema, built on first use (safe from any thread) and shared
// read-only by every Matroska repairer; it lives as long as the library.
const MkvSchemaTree& MkvSchema();

// The first top-level schema node (the EBML header; its next is the
// Segment) of the shared schema.
const TStandardLabelNode<unsigned int>* InitMkvSNode();
// Gives back a node InitMkvSNode handed out. The shared tree outlives every
// repairer, so this releases nothing.
void DelMkvSNode(const TStandardLabelNode<unsigned int>* top);

#endif
