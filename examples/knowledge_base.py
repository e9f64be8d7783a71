"""A knowledge base over a folder of real files of every source type, and questions to it.

Run it with `sh make.sh demo` (after examples/quickstart.py). The folder examples/docs holds
Markdown, HTML, text, CSV, JSON, YAML, PDF, Word and Excel files (scripts/make_example_docs.py
wrote them); the knowledge base reads them, guesses each passage's knowledge type, and
answers with passages, their source and a snippet.
"""

from pathlib import Path

from revuradova.kb import KnowledgeBase, Where

DOCS = Path(__file__).parent / "docs"

QUESTIONS = [
    "How do I submit an expense report?",
    "Is this travel booking compliant with the policy?",
    "What is churn rate?",
    "Which team owns the billing-api?",
]


def show(hit) -> None:
    where = hit.position
    place = f"page {where.page}" if where.page else ""
    place = place or (f"rows {where.rows[0]}-{where.rows[1] - 1}" if where.rows else "")
    place = place or (f"at {where.pointer or '/'}" if where.pointer is not None else "")
    print(f"  -> {hit.key}  [{hit.source_type}, {hit.knowledge_type}, {hit.domain}] {place}")
    print(f"     {hit.snippet.text}")


def main() -> None:
    with KnowledgeBase() as kb:
        change = kb.add(DOCS)
        print(f"== read {change.files_read} files into {change.passages_added} passages ==")
        for path, reason in change.skipped:
            print(f"  skipped {path}: {reason}")
        for question in QUESTIONS:
            answer = kb.ask(question, 2)
            print(f"\n== {question}  (intent {answer.intent}; chosen by {answer.how})")
            for hit in answer.hits:
                show(hit)
            if answer.summary:  # the intent's own account, where it had a say
                print(f"  {answer.summary}")
        print("\n== search 'budget engineering' among data passages ==")
        for hit in kb.search("budget engineering", 2, where=Where(knowledge_type="data")):
            show(hit)


if __name__ == "__main__":
    main()
