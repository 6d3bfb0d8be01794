{{ config(style='view', tags=['a']) }}
select 1
