// Public interface of libmendcore, the repair library.
//
// A caller creates one repair object per file with CreateRepair, gives it a
// path, lets it analyse the file on a worker thread, reads the recorded
// damage and asks for a repaired copy. Every failure is a negative code.
#ifndef MENDCORE_VIDEO_REPAIR_H
#define MENDCORE_VIDEO_REPAIR_H

#include <stdint.h>

#if defined(MENDCORE_BUILDING)
#define MENDCORE_EXPORT __attribute__((visibility("default")))
#else
#define MENDCORE_EXPORT
#endif

// Recorded damage codes and process results are plain signed integers.
typedef int32_t JRVPFileError;
typedef int32_t JRVPProcessResult;
typedef int32_t JRVPVideoFormat;

// Results of the interface and of the result callback.
enum JRVPResultCode : int32_t {
    JRVP_OK = 0,
    JRVP_ERR_NOT_READY = -12,        // "Cannot Repair": nothing parsed yet, or no output
    JRVP_ERR_PARSE_FAILED = -13,     // "Cannot Repair": the parse failed
    JRVP_ERR_UNREPAIRABLE = -14,     // "Cannot Repair": budget spent, mandatory part missing
    JRVP_ERR_ABORTED = -15,          // cancelled; the application shows no text
    JRVP_ERR_UNKNOWN = -16,          // "Unknown Error"
    JRVP_ERR_MISSING_DATA = -17,     // "Missing Necessary Data": no input file set
    JRVP_ERR_OPEN_FAILED = -18,      // "Open File Failed"
    JRVP_ERR_UNKNOWN_FORMAT = -19,   // "Unknown Format"; also "busy" from the repair object
    JRVP_ERR_NOTHING_PARSED = -20,   // repair asked for before anything was parsed
    JRVP_ERR_NO_CODEC_LIBRARY = -21, // "FFmpeg Not Found": the repair needs FFmpeg's libraries
    JRVP_ERR_CANNOT_WRITE = -37,     // "Cannot Write File"
    JRVP_ERR_CANNOT_READ = -38,      // "Cannot Read File"
    JRVP_ERR_CANNOT_OPEN = -39,      // "Cannot Open File"
    JRVP_ERR_NO_MEMORY = -59,        // "No Memory"
};

// Kinds of recorded damage (VPFileError::code).
enum JRVPDamageCode : int32_t {
    JRVP_DAMAGE_COUNT = -15,      // a count of top-level structures disagrees
    JRVP_DAMAGE_DATA_LOST = -16,  // media data is lost
    JRVP_DAMAGE_TIMING = -17,     // duration, timestamps or lengths are wrong
    JRVP_DAMAGE_STRUCTURE = -18,  // a header, box, element or list is damaged or missing
    JRVP_DAMAGE_INDEX = -19,      // an index, header size or part is missing or invalid
    JRVP_DAMAGE_SEGMENT = -20,    // a run of invalid data; detail is a VPInvalidDataSegment
};

// Container numbers.
enum JRVPFormatCode : int32_t {
    JRVP_FORMAT_NONE = 0,
    JRVP_FORMAT_AVI = 1,
    JRVP_FORMAT_ASF = 2,
    JRVP_FORMAT_FLV = 3,
    JRVP_FORMAT_MKV = 4,
    JRVP_FORMAT_MP4 = 5,
    JRVP_FORMAT_RMVB = 6,
    JRVP_FORMAT_MPEG = 7,
    JRVP_FORMAT_MP3 = 8,
    JRVP_FORMAT_WAV = 9,
    JRVP_FORMAT_OGG = 10,
};

// Repair status values of GetStatus.
enum JRVPRepairStatus : int32_t {
    JRVP_STATUS_IDLE = 0,
    JRVP_STATUS_PARSING = 1,
    JRVP_STATUS_PARSE_FAILED = 2,
    JRVP_STATUS_PARSED = 3,
    JRVP_STATUS_REPAIRING = 4,
    JRVP_STATUS_REPAIRED = 5,
};

// The detail of a JRVP_DAMAGE_SEGMENT record: byte offsets in the input that
// bound one damaged run.
struct VPInvalidDataSegment {
    VPInvalidDataSegment(int64_t s, int64_t e) : start(s), end(e) {}
    int64_t start;
    int64_t end;
};

// One recorded damage. The detail is owned by the repair object; for
// JRVP_DAMAGE_SEGMENT it is a VPInvalidDataSegment, for JRVP_DAMAGE_STRUCTURE
// and JRVP_DAMAGE_INDEX null or an int64_t holding the damaged structure's
// input offset, for every other code null.
struct VPFileError {
    JRVPFileError code;
    void* detail;
    bool solved;
};

typedef void (*VPFileErrorCallback)(JRVPFileError code, void* user);
typedef void (*VPProcessResultCallback)(JRVPProcessResult result, void* user);

// The caller's byte stream that receives a repaired file. The library reads
// back and seeks backwards over what it has written, and never destroys it.
class IVideoStream {
public:
    virtual unsigned int Read(void* buf, unsigned int n) = 0;
    virtual unsigned int Write(const void* buf, unsigned int n) = 0;
    virtual long long GetLength() = 0;
    virtual long long GetPos() = 0;
    virtual long long SeekTo(long long pos) = 0;
};

// One repair object per file. The order of the operations is part of the
// binary interface.
class IVideoRepair {
public:
    virtual bool SetFile(const char* path) = 0;
    virtual int OpenFile(VPFileErrorCallback onError, VPProcessResultCallback onResult, void* user) = 0;
    virtual void CloseFile() = 0;
    virtual int GetProcess() = 0;
    virtual int GetStatus() = 0;
    virtual int GetFormat() = 0;
    virtual VPFileError* GetFileError(unsigned int index) = 0;
    virtual int GetErrorsCount() = 0;
    virtual int RepairFile(const char* outPath, int level, VPProcessResultCallback onResult, void* user,
                           const char* refPath) = 0;
    virtual int RepairFile(IVideoStream* out, int level, VPProcessResultCallback onResult, void* user,
                           const char* refPath) = 0;
    virtual void AbortTask() = 0;
    virtual ~IVideoRepair() {}
};

extern "C" {
MENDCORE_EXPORT IVideoRepair* CreateRepair();
MENDCORE_EXPORT void DestroyRepair(IVideoRepair* repair);
}

#endif
