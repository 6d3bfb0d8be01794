{{ config({
    "style": "table"
    , 'tags' : ["a", {"k": (1, 2)}]
    , 3: x,
}) }}
{{ config({}, ) }}
select 1
