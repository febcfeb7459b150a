// The file list page's rows, as the tests look them up.
#ifndef VIDMEND_TESTS_PAGEROWS_H
#define VIDMEND_TESTS_PAGEROWS_H

#include <string>

#include "QFileInfoChunk.h"
#include "QFileInfoWgt.h"

// The page's row whose title is title; null when there is none.
inline QFileInfoChunk* RowTitled(QFileInfoWgt& page, const std::string& title)
{
    for (IBaseChunk* r : page.rows())
        if (r->GetTitle() == title)
            return static_cast<QFileInfoChunk*>(r);
    return nullptr;
}

#endif
