#pragma once

#include "platform/gdi.h"

// An off-screen context standing in for `target` over one rectangle, in the target's own
// coordinates. Everything drawn into it reaches the target in one copy when it ends, so an
// owner-drawn control never shows half a paint.
class CBufferDC : public CDC {
public:
    // A null or empty rectangle buffers the target's clip box.
    CBufferDC(HDC target, const RECT* rect);
    ~CBufferDC() override;
    CBufferDC(const CBufferDC&) = delete;
    CBufferDC& operator=(const CBufferDC&) = delete;

    const RECT& BufferedRect() const { return m_rect; }

private:
    HDC m_target;
    CBitmap m_bitmap;
    RECT m_rect;
    HGDIOBJ m_previousBitmap = nullptr;
};
