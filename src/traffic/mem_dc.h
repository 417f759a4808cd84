#pragma once

#include "platform/gdi.h"

// Off-screen drawing over a target context's clip box, in the target's own coordinates. The
// picture reaches the target in one copy when the object ends, so a paint never shows half
// drawn.
class CMemDC : public CDC {
public:
    explicit CMemDC(CDC* dc);
    ~CMemDC() override;
    CMemDC(const CMemDC&) = delete;
    CMemDC& operator=(const CMemDC&) = delete;

    const RECT& Rect() const { return m_rect; }

private:
    CBitmap m_bitmap;
    HBITMAP m_oldBitmap = nullptr;
    CDC* m_pDC;
    RECT m_rect;
    // Printer contexts draw straight through; there are none here, so this stays true.
    bool m_bMemDC = true;
};
