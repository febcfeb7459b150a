#include "core/DataParser.h"

#include <string.h>

#include "core/AvLibs.h"

CDataParser::CDataParser(AVCodecID id, bool& ok)
{
    ok = false;
    if (id == AV_CODEC_ID_NONE)
        return;
    m_av = AvCodec();
    m_libraryMissing = m_av == nullptr;
    if (!m_av)
        return;
    const AVCodecDescriptor* desc = m_av->avcodec_descriptor_get(id);
    m_intraOnly = desc && (desc->props & AV_CODEC_PROP_INTRA_ONLY);
    // The parser only needs a context that names the codec; opening a
    // decoder would cost time and memory and tell the parser nothing.
    m_context = m_av->avcodec_alloc_context3(nullptr);
    if (!m_context)
        return;
    m_context->codec_id = id;
    m_context->codec_type = desc ? desc->type : AVMEDIA_TYPE_VIDEO;
    m_parser = m_av->av_parser_init(id);
    if (m_parser)
        m_parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    ok = m_parser != nullptr || m_intraOnly;
}

CDataParser::~CDataParser()
{
    if (!m_av)
        return;
    if (m_parser)
        m_av->av_parser_close(m_parser);
    m_av->avcodec_free_context(&m_context);
}

int CDataParser::Parser(const unsigned char* buf, int size)
{
    if (!m_parser || !m_context || !buf || size <= 0)
        return 0;
    m_padded.assign(buf, buf + size);
    m_padded.resize(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    return ParsePadded(m_padded.data(), size);
}

int CDataParser::ParsePadded(const unsigned char* buf, int size)
{
    uint8_t* out = nullptr;
    int outSize = 0;
    return m_av->av_parser_parse2(m_parser, m_context, &out, &outSize, buf, size, 0, 0, 0);
}

template <typename Parse>
int CDataParser::KeyFrameOf(Parse parse, int size, int& key)
{
    key = 0;
    if (m_intraOnly) {
        key = 1;
        return size;
    }
    if (!m_parser)
        return 0;
    m_parser->pict_type = AV_PICTURE_TYPE_NONE;
    m_parser->key_frame = -1;
    int n = parse();
    if (m_parser->pict_type == AV_PICTURE_TYPE_I || m_parser->pict_type == AV_PICTURE_TYPE_SI)
        key = 1;
    else
        key = m_parser->key_frame > 0 ? 1 : 0;
    return n;
}

int CDataParser::CheckIsKeyFrame(const unsigned char* buf, int size, int& key)
{
    return KeyFrameOf([&] { return Parser(buf, size); }, size, key);
}

int CDataParser::CheckIsKeyFrameInPlace(unsigned char* buf, int size, size_t room, int& key)
{
    if (room < AV_INPUT_BUFFER_PADDING_SIZE || !buf || size <= 0)
        return CheckIsKeyFrame(buf, size, key);
    // The parser sees exactly what a padded copy would show it.
    uint8_t kept[AV_INPUT_BUFFER_PADDING_SIZE];
    unsigned char* padding = buf + size;
    memcpy(kept, padding, sizeof(kept));
    memset(padding, 0, sizeof(kept));
    int n = KeyFrameOf([&] { return m_parser && m_context ? ParsePadded(buf, size) : 0; }, size, key);
    memcpy(padding, kept, sizeof(kept));
    return n;
}
