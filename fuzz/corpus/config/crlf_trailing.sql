{{
  config(
    a = 1,
    b="x",
  )
}}
select a from t
