"""Documents of every type, written with the writers of the same ecosystem."""

from __future__ import annotations

import io


def docx_bytes() -> bytes:
    import docx

    document = docx.Document()
    document.core_properties.title = "Staff handbook"
    document.add_heading("Expenses", level=1)
    document.add_paragraph("Receipts are kept for seven years.")
    document.add_heading("How to submit an expense report", level=2)
    document.add_paragraph("1. Open the expenses application.")
    document.add_paragraph("2. Attach every receipt and submit.")
    table = document.add_table(rows=3, cols=2)
    for row, values in zip(
        table.rows, [("item", "limit"), ("hotel", "150"), ("meal", "40")], strict=True
    ):
        for cell, value in zip(row.cells, values, strict=True):
            cell.text = value
    document.add_heading("Travel", level=1)
    document.add_paragraph("Book trains before flights.")
    out = io.BytesIO()
    document.save(out)
    return out.getvalue()


def xlsx_bytes() -> bytes:
    import xlsxwriter

    out = io.BytesIO()
    workbook = xlsxwriter.Workbook(out, {"in_memory": True})
    sheet = workbook.add_worksheet("Budget")
    for r, row in enumerate([["team", "amount"], ["sales", 1200], ["support", 800]]):
        sheet.write_row(r, 0, row)
    other = workbook.add_worksheet("Owners")
    other.write_row(0, 0, ["service", "owner"])
    other.write_row(1, 0, ["billing-api", "payments team"])
    workbook.close()
    return out.getvalue()


def pdf_bytes(pages=("First page about invoices.", "Second page about refunds.")) -> bytes:
    from fpdf import FPDF

    pdf = FPDF()
    pdf.set_title("Finance guide")
    pdf.set_font("helvetica", size=12)
    for number, text in enumerate(pages, 1):
        pdf.add_page()
        pdf.start_section(f"Chapter {number}")
        pdf.multi_cell(0, 10, text)
    return bytes(pdf.output())
