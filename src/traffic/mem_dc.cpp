#include "traffic/mem_dc.h"

CMemDC::CMemDC(CDC* dc) : m_pDC(dc) {
    m_pDC->GetClipBox(&m_rect);
    CreateCompatibleDC(m_pDC);
    m_bitmap.CreateCompatibleBitmap(m_pDC, m_rect.right - m_rect.left, m_rect.bottom - m_rect.top);
    m_oldBitmap = SelectObject(m_bitmap.GetSafeHandle());
    // Drawing uses the target's logical coordinates.
    SetWindowOrg(m_rect.left, m_rect.top);
}

CMemDC::~CMemDC() {
    if (m_bMemDC) {
        m_pDC->BitBlt(m_rect.left, m_rect.top, m_rect.right - m_rect.left,
                      m_rect.bottom - m_rect.top, this, m_rect.left, m_rect.top, SRCCOPY);
        SelectObject(m_oldBitmap);
    }
    m_bitmap.DeleteObject();
    DeleteDC();
}
