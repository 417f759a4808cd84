#include "controls/buffer_dc.h"

CBufferDC::CBufferDC(HDC target, const RECT* rect) : m_target(target) {
    if (rect == nullptr || IsRectEmpty(*rect))
        m_target->GetClipBox(&m_rect);
    else
        m_rect = *rect;
    CreateCompatibleDC(m_target);
    // The bitmap reaches from the origin so the buffer keeps the target's coordinates; what lies
    // above and left of the rectangle is clipped away instead.
    m_bitmap.CreateCompatibleBitmap(m_target, m_rect.right, m_rect.bottom);
    m_previousBitmap = SelectObject(m_bitmap.GetSafeHandle());
    if (m_rect.top > 0)
        ExcludeClipRect(0, 0, m_rect.right, m_rect.top);
    if (m_rect.left > 0)
        ExcludeClipRect(0, m_rect.top, m_rect.left, m_rect.bottom);
}

CBufferDC::~CBufferDC() {
    m_target->BitBlt(m_rect.left, m_rect.top, m_rect.right - m_rect.left,
                     m_rect.bottom - m_rect.top, this, m_rect.left, m_rect.top, SRCCOPY);
    SelectObject(m_previousBitmap);
    m_bitmap.DeleteObject();
    DeleteDC();
}
